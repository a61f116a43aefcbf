function headmodel = megfwd_prepare_headmodel(cfg)
%MEGFWD_PREPARE_HEADMODEL  A head model fitted to a head shape, as
%   FieldTrip's preparation step makes it, for MEGFWD_LEADFIELD.
%
%   headmodel = megfwd_prepare_headmodel(cfg)
%
%   cfg.method      'singlesphere', 'localspheres' or 'singleshell'
%   cfg.headshape   a mesh (.pos V x 3, .tri T x 3 with 1-based vertex
%                   numbers, optional .unit) or points (N x 3, or a
%                   structure with .pos and no .tri); for 'singleshell' the
%                   inner skull, a closed mesh
%   cfg.unit        the head shape's unit when it states none ('m', 'cm' or
%                   'mm'; default cfg.grad.unit)
%
%   'singlesphere': the sphere that fits the points (or the mesh's
%   vertices) best, by the library's algebraic fit; headmodel.o, .r and
%   .unit (the head shape's).
%
%   'localspheres': one sphere per channel of cfg.grad selected by
%   cfg.channel (default 'MEG'), by the library's weighted fit: each head
%   shape point counts by the area it stands for (1 without triangles) over
%   the fourth power of its distance to the channel's coil nearest the
%   head, started from the sphere fitted to the points within cfg.radius of
%   that coil. A channel's coils are those it weighs most in cfg.grad.tra.
%     cfg.grad       FieldTrip gradiometer structure (label, coilpos, tra,
%                    chantype for 'MEG', unit)
%     cfg.radius     distance within which points start a channel's fit
%                    (default 85 mm, in cfg.grad.unit)
%     cfg.maxradius  a larger fitted sphere is replaced by the global one
%                    (default 200 mm, in cfg.grad.unit)
%     cfg.minpoints  fewer points within cfg.radius: the global sphere
%                    (default 11)
%   headmodel.o (n x 3), .r (n x 1), .label (the selected channels), .unit
%   (cfg.grad.unit), .fallback (n x 1 logical: the channel took the sphere
%   fitted to all points). Fallbacks are reported with the warning
%   'megfwd:fallback'.
%
%   'singleshell': the mesh checked (closed, of one piece, consistently
%   wound; triangles wound inward are turned) and kept with cfg.order (the
%   harmonic expansion's highest degree; without it the library chooses by the
%   mesh's triangles, see megfwd_mex('shell_limits')) and cfg.fit
%   ('galerkin', default, or 'lsq'); headmodel.bnd (.pos, .tri, .unit),
%   .order, .fit, .unit.
%
%   headmodel.type names the method, and the result passes straight to
%   megfwd_leadfield as cfg.headmodel. Errors have identifiers 'megfwd:...'
%   ('megfwd:surface' and 'megfwd:order' for a mesh the single shell cannot
%   take).
%
%   Example (a sphere fitted to head-shape points, metres):
%     u = randn(200, 3);  u(:, 3) = abs(u(:, 3));
%     pts = 0.09 * u ./ sqrt(sum(u .^ 2, 2)) + [0 0 0.04];
%     hm = megfwd_prepare_headmodel(struct('method', 'singlesphere', 'headshape', pts, 'unit', 'm'));
%     disp(hm.r)                       % 0.09
%
%   See also MEGFWD_LEADFIELD.

if nargin < 1 || ~isstruct(cfg) || ~isscalar(cfg)
  error('megfwd:cfg', 'cfg must be a scalar structure');
end
method = megfwd_need(cfg, 'method', 'cfg');
if ~ischar(method) || ~any(strcmp(method, {'singlesphere', 'localspheres', 'singleshell'}))
  error('megfwd:method', 'cfg.method must be ''singlesphere'', ''localspheres'' or ''singleshell''');
end
default_unit = [];
if isfield(cfg, 'grad') && isfield(cfg.grad, 'unit')
  default_unit = cfg.grad.unit;
end
[pos, tri, unit] = read_headshape(cfg, default_unit);
mm = megfwd_unit_mm(unit, 'the unit of cfg.headshape');
posmm = megfwd_mm(pos, mm, 'cfg.headshape.pos');

switch method
  case 'singlesphere'
    s = megfwd_mex('fit_sphere', posmm);
    headmodel = struct('type', 'singlesphere', 'o', s(1:3) / mm, 'r', s(4) / mm, 'unit', unit);
  case 'singleshell'
    if isempty(tri)
      error('megfwd:surface', 'cfg.headshape must be a mesh (pos and tri) for the single shell');
    end
    % Without cfg.order, .order stays empty: the library chooses it from
    % the mesh's triangles when the leadfield is computed.
    order = megfwd_getopt(cfg, 'order', []);
    if ~isempty(order)
      order = megfwd_real(order, 'cfg.order');
    end
    fit = megfwd_getopt(cfg, 'fit', 'galerkin');
    tri = megfwd_mex('check_surface', posmm, tri, order, fit);
    headmodel = struct('type', 'singleshell', 'bnd', struct('pos', pos, 'tri', tri, 'unit', unit), ...
      'order', order, 'fit', fit, 'unit', unit);
  case 'localspheres'
    headmodel = local_spheres(cfg, posmm, tri);
end
end

function [pos, tri, unit] = read_headshape(cfg, default_unit)
hs = megfwd_need(cfg, 'headshape', 'cfg');
tri = [];
unit = megfwd_getopt(cfg, 'unit', default_unit);
if isstruct(hs)
  pos = megfwd_real(megfwd_need(hs, 'pos', 'cfg.headshape'), 'cfg.headshape.pos', 3);
  if isfield(hs, 'tri') && ~isempty(hs.tri)
    tri = megfwd_real(hs.tri, 'cfg.headshape.tri', 3);
  end
  if isfield(hs, 'unit')
    unit = hs.unit;
  end
else
  pos = megfwd_real(hs, 'cfg.headshape', 3);
end
if isempty(unit)
  error('megfwd:missingField', 'the unit of cfg.headshape is missing; give cfg.headshape.unit or cfg.unit');
end
end

function headmodel = local_spheres(cfg, posmm, tri)
grad = megfwd_need(cfg, 'grad', 'cfg');
unit = megfwd_need(grad, 'unit', 'cfg.grad');
mm = megfwd_unit_mm(unit, 'cfg.grad.unit');
label = megfwd_need(grad, 'label', 'cfg.grad');
if ~iscellstr(label)
  error('megfwd:type', 'cfg.grad.label must be a cell array of channel names');
end
label = label(:);
coilpos = megfwd_real(megfwd_need(grad, 'coilpos', 'cfg.grad'), 'cfg.grad.coilpos', 3);
tra = megfwd_real(megfwd_need(grad, 'tra', 'cfg.grad'), 'cfg.grad.tra');
if size(tra, 1) ~= numel(label) || size(tra, 2) ~= size(coilpos, 1)
  error('megfwd:size', 'cfg.grad.tra is %d x %d; %d channels (labels) x %d coils are needed', ...
    size(tra, 1), size(tra, 2), numel(label), size(coilpos, 1));
end
sel = megfwd_select_channels(megfwd_getopt(cfg, 'channel', 'MEG'), label, grad);
% Each selected channel's coils: those it weighs most of all channels (a
% balanced channel's reference coils belong to their references), or all
% it weighs when it weighs none most.
[~, owner] = max(abs(tra), [], 1);
coil = [];
site = [];
for k = 1:numel(sel)
  own = find(owner(:) == sel(k) & any(tra(sel(k), :), 1)');
  if isempty(own)
    own = find(tra(sel(k), :))';
  end
  coil = [coil; own]; %#ok<AGROW>
  site = [site; k + zeros(numel(own), 1)]; %#ok<AGROW>
end
radius = megfwd_real(megfwd_getopt(cfg, 'radius', 85 / mm), 'cfg.radius');
maxradius = megfwd_real(megfwd_getopt(cfg, 'maxradius', 200 / mm), 'cfg.maxradius');
minpoints = megfwd_real(megfwd_getopt(cfg, 'minpoints', 11), 'cfg.minpoints');
if isempty(tri)
  tri = zeros(0, 3);
end
[s, fallback, reasons] = megfwd_mex('fit_local_spheres', posmm, tri, strjoin(label(sel)', char(10)), ...
  megfwd_mm(coilpos(coil, :), mm, 'cfg.grad.coilpos'), site, radius * mm, minpoints, maxradius * mm, 'weighted');
fallback = logical(fallback);
if any(fallback)
  reasons = strsplit(reasons, char(10));
  first = find(fallback, 1);
  warning('megfwd:fallback', '%d of %d channels took the sphere fitted to all points (the first, ''%s'': %s)', ...
    sum(fallback), numel(fallback), label{sel(first)}, reasons{first});
end
headmodel = struct('type', 'localspheres', 'o', s(:, 1:3) / mm, 'r', s(:, 4) / mm, ...
  'label', {label(sel)}, 'unit', unit, 'fallback', fallback);
end
