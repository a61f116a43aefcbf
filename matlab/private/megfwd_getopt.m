function v = megfwd_getopt(s, name, default)
%MEGFWD_GETOPT  s.(name) when the structure has that field, else default.
if isfield(s, name)
  v = s.(name);
else
  v = default;
end
end
