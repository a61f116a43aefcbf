function spheres = megfwd_coil_spheres(headmodel, o, r, g, tra, fallback)
%MEGFWD_COIL_SPHERES  One sphere per coil from a 'localspheres' head model.
%   spheres = megfwd_coil_spheres(headmodel, o, r, g, tra, fallback) gives
%   an M x 4 array [centre radius] for the M coils of the gradiometer g
%   (fields label, coilpos, tra). With headmodel.label the rows of o and r
%   belong to the named channels, and a coil takes the sphere of the channel
%   with the largest |tra| in its column (of all channels: a reference coil
%   shared by many balanced channels keeps its reference channel's sphere).
%   Without a label there must be one row per coil. Only coils with a weight
%   in `tra` (the selected channels) need a sphere; the others get NaN. A
%   needed coil whose channel has no sphere takes `fallback` ([x y z r]) or
%   is an error naming the channel.
ncoil = size(g.coilpos, 1);
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
[~, which] = max(abs(g.tra(:, needed)), [], 1);
[has, row] = ismember(g.label(which), label(:));
if ~isempty(fallback)
  fallback = megfwd_real(fallback, 'cfg.fallbacksphere');
  if numel(fallback) ~= 4 || fallback(4) <= 0
    error('megfwd:fallbacksphere', 'cfg.fallbacksphere must be [x y z r] with r > 0');
  end
end
if ~all(has)
  first = find(~has, 1);
  if isempty(fallback)
    error('megfwd:noSphere', ['channel ''%s'' (coil %d) has no sphere in cfg.headmodel.label; ' ...
      'add one or give cfg.fallbacksphere'], g.label{which(first)}, needed(first));
  end
end
spheres(needed(has), :) = [o(row(has), :) r(row(has))];
spheres(needed(~has), :) = repmat(fallback(:)', sum(~has), 1);
end
