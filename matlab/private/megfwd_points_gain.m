function G = megfwd_points_gain(command, points, ori, spheres, tra, rows, sources, nthreads, varargin)
%MEGFWD_POINTS_GAIN  Gain of channels made of weighted coil points.
%   G = megfwd_points_gain('gain', points, ori, spheres, tra, rows, sources, nthreads, ...)
%   points, ori: P x 3 (mm); spheres: 1 x 4 (centre and radius, mm), P x 4,
%   one per point, or 0 x 4 with a single shell; tra: channels x P, full or
%   sparse, of the whole system; rows: the channels wanted; sources: N x 3
%   (mm). G is numel(rows) x 3N in T/(A*m): G(i, 3(s-1)+k) = sum over p of
%   tra(rows(i), p) times the field at point p along ori(p, :) of a unit
%   dipole at source s along axis k. With 'leadfield' instead of 'gain' and
%   the options 'inside', idx, 'positions', M, G is FieldTrip's 1 x M
%   cell, source s in G{idx(s)}. Further options go to the gateway (the
%   single shell's 'surface', 'triangles', 'order', 'fit', and 'names').
%   Points that no wanted channel weighs are not computed; the other
%   channels' weights decide which channel a shared point belongs to (how
%   the library groups it). Sources at a sphere centre or on a coil point
%   have no field there (0) and are reported by the gateway with a warning
%   ('megfwd:sourceAtCentre', 'megfwd:sourceOnCoil').
nchan = size(tra, 1);
used = find(any(tra(rows, :) ~= 0, 1));
if isempty(used)
  % No channel has a weight: every value is 0, nothing to compute.
  G = zeros(numel(rows), 3 * size(sources, 1));
  if strcmp(command, 'leadfield')
    opts = struct(varargin{:});
    L = cell(1, opts.positions);
    L(opts.inside) = {zeros(numel(rows), 3)};
    G = L;
  end
  return;
end
tra = tra(:, used);
[r, c, w] = find(tra);
points = points(used, :);
ori = ori(used, :);
if size(spheres, 1) > 1
  spheres = spheres(used, :);
end
G = megfwd_mex(command, points, ori, spheres, r, c, w, nchan, rows, sources, nthreads, varargin{:});
end
