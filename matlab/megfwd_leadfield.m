function sm = megfwd_leadfield(cfg)
%MEGFWD_LEADFIELD  Leadfields of MEG sensors for a spherical or single-shell
%   head model, from FieldTrip-style gradiometer, head model and source
%   model structures.
%
%   sm = megfwd_leadfield(cfg)
%
%   cfg.grad         gradiometer structure:
%     .label         channel names (cell array, one per row of tra)
%     .coilpos       coil positions, M x 3 (coils or integration points)
%     .coilori       coil orientations, M x 3 (the field is taken along
%                    them at their given length; unit vectors as a rule)
%     .tra           channels x M weights, full or sparse, double or single;
%                    any reference balancing is already in it and is
%                    applied as given
%     .chantype      channel types ('meggrad', 'megmag', 'megaxial',
%                    'megplanar', 'refmag', 'refgrad', ...), needed when
%                    cfg.channel is 'MEG' or 'MEGREF'
%     .unit          'm', 'cm' or 'mm'
%     .chanpos, .chanori, .chanunit, .balance are not used
%   cfg.headmodel    .type 'singlesphere' with .o (1 x 3) and .r, or
%                    'localspheres' with .o (n x 3) and .r (n x 1), one row
%                    per channel named in .label, or one row per coil of
%                    grad.coilpos (without .label); .unit, when given, must
%                    be grad.unit. Local spheres are taken in FieldTrip's
%                    order: cfg.channel is selected first, the coils that
%                    feed no selected channel are dropped, and each other
%                    coil takes the sphere of the selected channel with the
%                    largest |tra| in its column; only a selected channel
%                    needs a sphere (the reference channels of a CTF grad
%                    need none); or 'singleshell' (FieldTrip's realistic
%                    MEG model) with .bnd.pos (V x 3) and .bnd.tri (T x 3,
%                    1-based) the inner skull, a closed surface, its unit in
%                    .bnd.unit or .unit (any of 'm', 'cm', 'mm': it is
%                    converted), optional .order (the harmonic expansion's
%                    highest degree; default the library's, see
%                    megfwd_mex('shell_limits')) and .fit ('galerkin',
%                    default, or 'lsq', FieldTrip's least-squares fit of the
%                    normal component). The leadfield of the surface's
%                    least-squares sphere is corrected for its shape; every
%                    coil must lie outside it ('megfwd:sensorInside'), the
%                    surface must be closed ('megfwd:surface') and carry the
%                    order ('megfwd:order'). megfwd_prepare_headmodel makes
%                    each of these head models
%   cfg.sourcemodel  .pos (N x 3), .unit (grad.unit), optional .inside
%                    (logical N x 1, or indices of the sources inside)
%   cfg.channel      'MEG' (default), 'MEGREF', 'all' or a cell array of
%                    labels
%   cfg.reducerank   2 (default, as for MEG in FieldTrip), 1, 3, or 'no'
%   cfg.backproject  'yes' (default): a reduced leadfield keeps 3 columns
%                    (U*S_r*V'); 'no': it has reducerank columns (L*V_r)
%   cfg.normalize    'no' (default), 'yes' (each source's matrix divided by
%                    its sum of squares to the power normalizeparam) or
%                    'column' (each column likewise)
%   cfg.normalizeparam  0.5 (default)
%   cfg.fallbacksphere  [x y z r] in grad.unit: the sphere of a coil whose
%                    selected channel has none in a 'localspheres' head
%                    model (without it, such a channel is an error)
%   cfg.nthreads     threads of the computation (default: every core)
%
%   sm.pos, sm.unit  the source positions and their unit, as given
%   sm.inside        N x 1 logical
%   sm.label         the selected channels (column cell array)
%   sm.leadfield     1 x N cell; numel(label) x 3 for a source inside, []
%                    for one outside
%   sm.leadfielddimord  '{pos}_chan_ori'
%   sm.cfg           cfg with the defaults filled in
%
%   The value of a channel is sum over coils j of tra(c, j) times the
%   magnetic field of the dipole at coilpos(j, :) along coilori(j, :), by
%   the Sarvas formula for a conducting sphere (a coil's sphere in a
%   'localspheres' model is the one of the selected channel with the
%   largest |tra| in its column). Weights are never divided by their sum: a gradiometer of
%   two coils with weights +1 and +1 and opposite orientations gives the
%   difference of the two fields.
%
%   Units: whatever grad.unit is, leadfields are in T/(A*m) (tesla per
%   ampere-metre of dipole moment; per metre for channels whose tra holds
%   a baseline in metres), and m, cm and mm input give the same values.
%   FieldTrip's own forward functions compute in the unit of the geometry,
%   so that their leadfields for centimetre or millimetre input are 1e4 or
%   1e6 times the SI value; these are not.
%
%   Every source inside is computed: there is no exclusion of sources near
%   a coil. A source at a sphere's centre has no field from that sphere's
%   coils (0) and a source on a coil point gets 0 from that point; both are
%   reported with a warning ('megfwd:sourceAtCentre', 'megfwd:sourceOnCoil').
%   Bad input is an error with an identifier 'megfwd:...' and one line that
%   names the field.
%
%   Example (metres, one sphere, two radial magnetometers):
%     grad.label = {'M1'; 'M2'};  grad.chantype = {'megmag'; 'megmag'};
%     grad.coilpos = [0 0 0.11; 0.11 0 0];  grad.coilori = [0 0 1; 1 0 0];
%     grad.tra = eye(2);  grad.unit = 'm';
%     cfg.grad = grad;
%     cfg.headmodel = struct('type', 'singlesphere', 'o', [0 0 0], 'r', 0.09, 'unit', 'm');
%     cfg.sourcemodel = struct('pos', [0 0.02 0.05; 0.03 0 0.04], 'unit', 'm');
%     cfg.reducerank = 'no';
%     sm = megfwd_leadfield(cfg);
%     size(sm.leadfield{1})            % 2 x 3, T/(A*m)
%
%   See also MEGFWD_GAIN, MEGFWD_READ_SENSORS.

if nargin < 1 || ~isstruct(cfg) || ~isscalar(cfg)
  error('megfwd:cfg', 'cfg must be a scalar structure');
end
grad = megfwd_need(cfg, 'grad', 'cfg');
headmodel = megfwd_need(cfg, 'headmodel', 'cfg');
sourcemodel = megfwd_need(cfg, 'sourcemodel', 'cfg');
cfg.channel = megfwd_getopt(cfg, 'channel', 'MEG');
cfg.reducerank = megfwd_getopt(cfg, 'reducerank', 2);
cfg.backproject = megfwd_getopt(cfg, 'backproject', 'yes');
cfg.normalize = megfwd_getopt(cfg, 'normalize', 'no');
cfg.normalizeparam = megfwd_getopt(cfg, 'normalizeparam', 0.5);
cfg.fallbacksphere = megfwd_getopt(cfg, 'fallbacksphere', []);
cfg.nthreads = megfwd_getopt(cfg, 'nthreads', []);
rank = read_rank(cfg.reducerank);
backproject = read_yes_no(cfg.backproject, 'cfg.backproject');
[normalize, nrmpower] = read_normalize(cfg.normalize, cfg.normalizeparam);
nthreads = megfwd_threads(cfg.nthreads, 'cfg.nthreads');

% Units: everything in the gradiometer's unit, converted to millimetres for
% the library.
unit = megfwd_need(grad, 'unit', 'cfg.grad');
mm = megfwd_unit_mm(unit, 'cfg.grad.unit');
same_unit(sourcemodel, 'cfg.sourcemodel', unit, true);

g = read_grad(grad);
sel = megfwd_select_channels(cfg.channel, g.label, grad);
if isfield(headmodel, 'type') && strcmp(headmodel.type, 'singleshell')
  % The surface's own unit, converted: FieldTrip users mix mm meshes with
  % cm or m sensors.
  spheres = zeros(0, 4);
  shell = shell_options(headmodel, g.label);
else
  same_unit(headmodel, 'cfg.headmodel', unit, false);
  spheres = megfwd_mm(head_spheres(headmodel, g, sel, cfg.fallbacksphere), mm, 'the spheres [o r] of cfg.headmodel');
  shell = {};
end

pos = megfwd_real(megfwd_need(sourcemodel, 'pos', 'cfg.sourcemodel'), 'cfg.sourcemodel.pos', 3);
npos = size(pos, 1);
inside = read_inside(sourcemodel, npos);
idx = find(inside);

posmm = megfwd_mm(pos, mm, 'cfg.sourcemodel.pos');
% The gateway makes FieldTrip's cell of one matrix per position itself.
lf = megfwd_points_gain('leadfield', megfwd_mm(g.coilpos, mm, 'cfg.grad.coilpos'), g.coilori, spheres, g.tra, ...
  sel, posmm(idx, :), nthreads, 'inside', idx, 'positions', npos, shell{:});
if rank < 3 || ~strcmp(normalize, 'no')
  for j = idx(:)'
    L = lf{j};
    if rank < 3
      L = reduce_rank(L, rank, backproject);
    end
    if ~strcmp(normalize, 'no')
      L = normalise(L, normalize, nrmpower);
    end
    lf{j} = L;
  end
end

sm = struct();
sm.pos = sourcemodel.pos;
sm.inside = inside;
sm.unit = unit;
sm.label = g.label(sel);
sm.leadfield = lf;
sm.leadfielddimord = '{pos}_chan_ori';
sm.cfg = cfg;
end

function same_unit(s, where, unit, required)
if ~isfield(s, 'unit')
  if required
    error('megfwd:missingField', '%s.unit is missing; it must be cfg.grad.unit (''%s'')', where, unit);
  end
  return;
end
if ~ischar(s.unit) || ~strcmp(s.unit, unit)
  if ischar(s.unit)
    given = s.unit;
  else
    given = class(s.unit);
  end
  error('megfwd:units', '%s.unit is ''%s'' but cfg.grad.unit is ''%s''; use one unit for all geometry', ...
    where, given, unit);
end
end

function g = read_grad(grad)
g.label = megfwd_need(grad, 'label', 'cfg.grad');
if ~iscellstr(g.label)
  error('megfwd:type', 'cfg.grad.label must be a cell array of channel names');
end
g.label = g.label(:);
g.coilpos = megfwd_real(megfwd_need(grad, 'coilpos', 'cfg.grad'), 'cfg.grad.coilpos', 3);
g.coilori = megfwd_real(megfwd_need(grad, 'coilori', 'cfg.grad'), 'cfg.grad.coilori', 3);
g.tra = megfwd_real(megfwd_need(grad, 'tra', 'cfg.grad'), 'cfg.grad.tra');
ncoil = size(g.coilpos, 1);
if size(g.coilori, 1) ~= ncoil
  error('megfwd:size', 'cfg.grad.coilori has %d rows but cfg.grad.coilpos has %d', size(g.coilori, 1), ncoil);
end
if size(g.tra, 1) ~= numel(g.label) || size(g.tra, 2) ~= ncoil
  error('megfwd:size', 'cfg.grad.tra is %d x %d; %d channels (labels) x %d coils are needed', ...
    size(g.tra, 1), size(g.tra, 2), numel(g.label), ncoil);
end
zero = find(sum(g.coilori .^ 2, 2) == 0, 1);
if ~isempty(zero)
  error('megfwd:coilori', 'cfg.grad.coilori row %d is zero; a coil needs an orientation', zero);
end
end

function spheres = head_spheres(headmodel, g, sel, fallback)
% Spheres in the geometry's unit: 1 x 4, or one row per coil.
type = megfwd_need(headmodel, 'type', 'cfg.headmodel');
if ~ischar(type)
  error('megfwd:headmodel', 'cfg.headmodel.type must be text');
end
o = megfwd_real(megfwd_need(headmodel, 'o', 'cfg.headmodel'), 'cfg.headmodel.o', 3);
r = megfwd_real(megfwd_need(headmodel, 'r', 'cfg.headmodel'), 'cfg.headmodel.r');
r = r(:);
if numel(r) ~= size(o, 1)
  error('megfwd:size', 'cfg.headmodel.r has %d values but cfg.headmodel.o has %d rows', numel(r), size(o, 1));
end
bad = find(r <= 0, 1);
if ~isempty(bad)
  error('megfwd:headmodel', 'cfg.headmodel.r(%d) is %g; a radius must be positive', bad, r(bad));
end
switch type
  case 'singlesphere'
    if size(o, 1) ~= 1
      error('megfwd:headmodel', 'cfg.headmodel.o has %d rows; a single sphere has one', size(o, 1));
    end
    spheres = [o r];
  case 'localspheres'
    spheres = megfwd_coil_spheres(headmodel, o, r, g, sel, fallback);
  otherwise
    error('megfwd:headmodel', ['cfg.headmodel.type is ''%s''; ''singlesphere'', ''localspheres'' or ' ...
      '''singleshell'' is needed'], type);
end
end

function opts = shell_options(headmodel, label)
% The gateway's options for the single shell: the surface in millimetres,
% its triangles, the order and the fit, and the channel names for messages.
bnd = megfwd_need(headmodel, 'bnd', 'cfg.headmodel');
if ~isstruct(bnd) || numel(bnd) ~= 1
  error('megfwd:headmodel', 'cfg.headmodel.bnd must be one surface (a structure with pos and tri)');
end
pos = megfwd_real(megfwd_need(bnd, 'pos', 'cfg.headmodel.bnd'), 'cfg.headmodel.bnd.pos', 3);
tri = megfwd_real(megfwd_need(bnd, 'tri', 'cfg.headmodel.bnd'), 'cfg.headmodel.bnd.tri', 3);
if isfield(bnd, 'unit')
  unit = bnd.unit;
  if isfield(headmodel, 'unit') && ~isequal(headmodel.unit, unit)
    error('megfwd:units', 'cfg.headmodel.unit and cfg.headmodel.bnd.unit differ; give the surface''s unit once');
  end
elseif isfield(headmodel, 'unit')
  unit = headmodel.unit;
else
  error('megfwd:missingField', 'cfg.headmodel.bnd.unit (or cfg.headmodel.unit) is missing; the surface''s unit is needed');
end
mm = megfwd_unit_mm(unit, 'the unit of cfg.headmodel.bnd');
order = megfwd_getopt(headmodel, 'order', []);
if ~isempty(order)
  order = megfwd_real(order, 'cfg.headmodel.order');
  if ~isscalar(order)
    error('megfwd:order', 'cfg.headmodel.order must be one whole number');
  end
end
fit = megfwd_getopt(headmodel, 'fit', 'galerkin');
if ~ischar(fit)
  error('megfwd:option', 'cfg.headmodel.fit must be ''galerkin'' or ''lsq''');
end
opts = {'surface', megfwd_mm(pos, mm, 'cfg.headmodel.bnd.pos'), 'triangles', tri, 'order', order, 'fit', fit, ...
  'names', strjoin(label(:)', char(10))};
end

function inside = read_inside(sourcemodel, npos)
if ~isfield(sourcemodel, 'inside') || isempty(sourcemodel.inside)
  inside = true(npos, 1);
  return;
end
in = sourcemodel.inside;
if islogical(in) || (isnumeric(in) && numel(in) == npos && all(in(:) == 0 | in(:) == 1))
  if numel(in) ~= npos
    error('megfwd:size', 'cfg.sourcemodel.inside has %d values for %d sources', numel(in), npos);
  end
  inside = logical(in(:));
  return;
end
in = megfwd_real(in, 'cfg.sourcemodel.inside');
bad = find(in < 1 | in > npos | in ~= round(in), 1);
if ~isempty(bad)
  error('megfwd:inside', 'cfg.sourcemodel.inside(%d) is %g; source indices run from 1 to %d', bad, in(bad), npos);
end
inside = false(npos, 1);
inside(in) = true;
end

function rank = read_rank(v)
if ischar(v) && strcmp(v, 'no')
  rank = 3;
elseif ischar(v) && strcmp(v, 'yes')
  rank = 2;
elseif (isnumeric(v) || islogical(v)) && isscalar(v) && isreal(v) && any(double(v) == [1 2 3])
  rank = double(v);
else
  error('megfwd:reducerank', 'cfg.reducerank must be ''no'', 1, 2 or 3');
end
end

function yes = read_yes_no(v, name)
if (islogical(v) || isnumeric(v)) && isscalar(v)
  yes = logical(v);
elseif ischar(v) && any(strcmp(v, {'yes', 'no'}))
  yes = strcmp(v, 'yes');
else
  error('megfwd:option', '%s must be ''yes'' or ''no''', name);
end
end

function [mode, power] = read_normalize(v, param)
if ~ischar(v) || ~any(strcmp(v, {'no', 'yes', 'column'}))
  error('megfwd:normalize', 'cfg.normalize must be ''no'', ''yes'' or ''column''');
end
mode = v;
power = megfwd_real(param, 'cfg.normalizeparam');
if ~isscalar(power)
  error('megfwd:normalize', 'cfg.normalizeparam must be one number');
end
end

function L = reduce_rank(L, rank, backproject)
% The leadfield's rank-r approximation: its strongest r orientations.
[u, s, v] = svd(L, 'econ');
if backproject
  L = u(:, 1:rank) * s(1:rank, 1:rank) * v(:, 1:rank)';
else
  L = L * v(:, 1:rank);
end
end

function L = normalise(L, mode, power)
if strcmp(mode, 'yes')
  nrm = sum(L(:) .^ 2) ^ power;
  if nrm > 0
    L = L / nrm;
  end
else
  nrm = sum(L .^ 2, 1) .^ power;
  nrm(nrm == 0) = 1;
  L = L ./ nrm;
end
end
