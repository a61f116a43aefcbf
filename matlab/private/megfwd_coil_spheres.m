function spheres = megfwd_coil_spheres(headmodel, o, r, g, sel, fallback)
%MEGFWD_COIL_SPHERES  One sphere per coil from a 'localspheres' head model.
%   spheres = megfwd_coil_spheres(headmodel, o, r, g, sel, fallback) gives
%   an M x 4 array [centre radius] for the M coils of the gradiometer g
%   (fields label, coilpos, tra), of which the channels sel are selected.
%   The order is FieldTrip's: only the coils that feed a selected channel
%   are kept, and each takes the sphere of the selected channel with the
%   largest |tra| in its column, so that a reference coil folded into
%   balanced channels takes the sphere of the channel it weighs most and
%   the reference channels themselves need none. With headmodel.label the
%   rows of o and r belong to the named channels; without a label there
%   must be one row per coil. The coils that feed no selected channel get
%   NaN. A selected channel without a sphere takes `fallback` ([x y z r])
%   or is an error naming it.
ncoil = size(g.coilpos, 1);
tra = g.tra(sel, :);
needed = find(any(tra ~= 0, 1));
spheres = nan(ncoil, 4);
if ~isfield(headmodel, 'label')
  if size(o, 1) ~= ncoil
    error('megfwd:headmodel', ['cfg.headmodel has %d spheres and no label, and cfg.grad has %d coils; ' ...
      'give one sphere per coil or label the spheres by channel'], size(o, 1), ncoil);
  end
  spheres = [o r];
  return;
end
label = headmodel.label;
if ~iscellstr(label) || numel(label) ~= size(o, 1)
  error('megfwd:headmodel', 'cfg.headmodel.label must be a cell array with one channel name per sphere');
end
[~, which] = max(abs(tra(:, needed)), [], 1);
names = g.label(sel(which));
[has, row] = ismember(names, label(:));
if ~isempty(fallback)
  fallback = megfwd_real(fallback, 'cfg.fallbacksphere');
  if numel(fallback) ~= 4 || fallback(4) <= 0
    error('megfwd:fallbacksphere', 'cfg.fallbacksphere must be [x y z r] with r > 0');
  end
end
if ~all(has) && isempty(fallback)
  first = find(~has, 1);
  error('megfwd:noSphere', ['selected channel ''%s'' (coil %d) has no sphere in cfg.headmodel.label; ' ...
    'add one or give cfg.fallbacksphere'], names{first}, needed(first));
end
spheres(needed(has), :) = [o(row(has), :) r(row(has))];
spheres(needed(~has), :) = repmat(fallback(:)', sum(~has), 1);
end
