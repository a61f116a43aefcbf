function v = megfwd_need(s, name, where)
%MEGFWD_NEED  The field s.(name), or an error naming where.name.
if ~isstruct(s) || ~isfield(s, name)
  error('megfwd:missingField', '%s.%s is missing', where, name);
end
v = s.(name);
end
