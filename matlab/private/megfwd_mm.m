function x = megfwd_mm(x, f, name)
%MEGFWD_MM  Positions x times f (millimetres per unit), within the library's
%   bounds: 10 m from the origin on every axis, which any head, helmet or
%   frame fits in, and which keeps the formulas' powers of distances finite.
%   `name` is the field named in the error.
x = x * f;
bad = find(abs(x) > 1e4, 1);
if ~isempty(bad)
  [i, j] = ind2sub(size(x), bad);
  error('megfwd:range', '%s(%d, %d) is %g mm from the origin; at most 10 m (10000 mm) is taken', ...
    name, i, j, x(bad));
end
end
