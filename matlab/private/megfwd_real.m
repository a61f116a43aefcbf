function x = megfwd_real(x, name, ncols)
%MEGFWD_REAL  A numeric input as a real double array, checked.
%   x = megfwd_real(x, name) converts single, integer and logical arrays to
%   double and refuses text, cells, structures, complex values (even with a
%   zero imaginary part: the caller's data are not what they should be) and
%   values that are not finite. x = megfwd_real(x, name, ncols) also needs
%   ncols columns. Sparse arrays stay sparse. `name` is the field named in
%   the error, such as 'grad.coilpos'.
if ~(isnumeric(x) || islogical(x))
  error('megfwd:type', '%s must be a numeric array, not %s', name, class(x));
end
if ~isreal(x)
  error('megfwd:complex', '%s is complex; real values are needed', name);
end
if ~isa(x, 'double')
  x = double(x);
end
if nargin > 2 && size(x, 2) ~= ncols
  error('megfwd:size', '%s is %d x %d; %d columns are needed', name, size(x, 1), size(x, 2), ncols);
end
bad = find(~isfinite(x), 1);
if ~isempty(bad)
  [i, j] = ind2sub(size(x), bad);
  error('megfwd:notFinite', '%s(%d, %d) is %g; finite values are needed', name, i, j, full(x(bad)));
end
end
