function n = megfwd_threads(n, name)
%MEGFWD_THREADS  A thread count: [] or 0 for every core, else 1 to 4096.
if isempty(n)
  n = 0;
  return;
end
n = megfwd_real(n, name);
if ~isscalar(n) || n < 0 || n > 4096 || n ~= round(n)
  error('megfwd:threads', '%s must be a whole number from 0 (every core) to 4096', name);
end
end
