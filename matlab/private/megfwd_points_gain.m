function G = megfwd_points_gain(points, ori, spheres, tra, rows, sources, nthreads, srcidx)
%MEGFWD_POINTS_GAIN  Gain of channels made of weighted coil points.
%   G = megfwd_points_gain(points, ori, spheres, tra, rows, sources, nthreads, srcidx)
%   points, ori: P x 3 (mm); spheres: 1 x 4 (centre and radius, mm) or
%   P x 4, one per point; tra: channels x P, full or sparse, of the whole
%   system; rows: the channels wanted; sources: N x 3 (mm). G is
%   numel(rows) x 3N in T/(A*m): G(i, 3(s-1)+k) = sum over p of
%   tra(rows(i), p) times the field at point p along ori(p, :) of a unit
%   dipole at source s along axis k. Points that no wanted channel weighs
%   are not computed; the other channels' weights decide which channel a
%   shared point belongs to (its sphere, and how the library groups it).
%   Sources at a sphere centre or on a coil point have no field there (0)
%   and are reported with a warning that names them by srcidx (the
%   caller's numbers of the sources).
nchan = size(tra, 1);
used = find(any(tra(rows, :) ~= 0, 1));
tra = tra(:, used);
[r, c, w] = find(tra);
points = points(used, :);
ori = ori(used, :);
if size(spheres, 1) > 1
  spheres = spheres(used, :);
end
if isempty(used)
  % No channel has a weight: every value is 0, nothing to compute.
  G = zeros(numel(rows), 3 * size(sources, 1));
  return;
end
report_degenerate(sources, spheres(:, 1:3), points, srcidx);
% Sources per call of the library: about 2e7 point-source pairs, a fraction
% of a second, so that Ctrl-C is honoured between calls.
batch = max(64, ceil(2e7 / size(points, 1)));
G = megfwd_mex('gain', points, ori, spheres, r, c, w, nchan, rows, sources, nthreads, batch);
end

function report_degenerate(sources, centres, points, srcidx)
if isempty(sources)
  return;
end
at_centre = find(ismember(sources, unique(centres, 'rows'), 'rows'));
if ~isempty(at_centre)
  warning('megfwd:sourceAtCentre', ...
    '%d source(s) at a sphere centre (the first is source %d): the field of the coils of that sphere is 0 there', ...
    numel(at_centre), srcidx(at_centre(1)));
end
on_coil = find(ismember(sources, points, 'rows'));
if ~isempty(on_coil)
  warning('megfwd:sourceOnCoil', ...
    '%d source(s) on a coil point (the first is source %d): the formula has no value there and gives 0', ...
    numel(on_coil), srcidx(on_coil(1)));
end
end
