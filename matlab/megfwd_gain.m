function [Gain, Param] = megfwd_gain(ChannelMat, GridLoc, headmodel, varargin)
%MEGFWD_GAIN  Gain matrix of MEG channels for a spherical or single-shell
%   head model, from a Brainstorm-style channel structure.
%
%   [Gain, Param] = megfwd_gain(ChannelMat, GridLoc, headmodel)
%   [Gain, Param] = megfwd_gain(..., 'nthreads', n, 'order', n, 'fit', f)
%
%   ChannelMat.Channel(i)  .Name, .Type ('MEG', 'MEG MAG', 'MEG GRAD',
%                    'MEG REF', or any other type for channels that are not
%                    MEG sensors), and for MEG channels .Loc (3 x P
%                    integration points, metres), .Orient (3 x P) and
%                    .Weight (1 x P)
%   ChannelMat.MegRefCoef  optional, MEG x reference: the MEG channels
%                    ('MEG', 'MEG MAG', 'MEG GRAD') become
%                    Gain(iMeg,:) - MegRefCoef * Gain(iRef,:) with the
%                    reference channels ('MEG REF'), both in channel order
%   GridLoc          N x 3 source positions, metres
%   headmodel        .HeadCenter (3 x 1, metres): one sphere for every
%                    channel; or .Param (1 x channels, each with .Center,
%                    3 x 1): one sphere per channel. A reference channel
%                    ('MEG REF') whose Param has an empty Center takes the
%                    HeadCenter sphere; a MEG channel without one is an
%                    error ('megfwd:noSphere'). An optional .Radius (beside
%                    HeadCenter or in each Param) is passed on; the field
%                    outside a sphere does not depend on it.
%                    .InnerSkull (a tess structure: .Vertices V x 3,
%                    metres, .Faces T x 3, 1-based, a closed surface): the
%                    single shell, the leadfield of the spheres above (or,
%                    without HeadCenter and Param, of the surface's
%                    least-squares sphere) corrected for the inner skull's
%                    shape; every MEG point must lie outside it
%   'nthreads', n    threads of the computation (default: every core)
%   'order', n       the single shell's highest harmonic degree (default
%                    the library's, see megfwd_mex('shell_limits'))
%   'fit', f         the single shell's fit: 'galerkin' (default) or 'lsq'
%
%   Gain             channels x 3N in T/(A*m): columns 3(s-1)+1:3(s-1)+3
%                    hold source s with moments along x, y and z; rows of
%                    channels that are not MEG sensors are NaN
%   Param            1 x channels: each channel's sphere, .Center (3 x 1)
%                    and .Radius, in metres (empty for InnerSkull alone)
%
%   A channel's value is sum over its points p of Weight(p) times the
%   magnetic field at Loc(:, p) along Orient(:, p) (taken at its given
%   length) by the Sarvas formula for a conducting sphere. Every source is
%   computed; a source at a sphere's centre has no field from it (0) and is
%   reported with a warning. Bad input is an error with an identifier
%   'megfwd:...' naming the field.
%
%   Example (two radial magnetometers, one sphere):
%     ChannelMat.Channel = struct('Name', {'M1', 'M2'}, 'Type', 'MEG', ...
%       'Loc', {[0; 0; 0.11], [0.11; 0; 0]}, 'Orient', {[0; 0; 1], [1; 0; 0]}, 'Weight', 1);
%     Gain = megfwd_gain(ChannelMat, [0 0.02 0.05], struct('HeadCenter', [0; 0; 0]));
%     size(Gain)                       % 2 x 3, T/(A*m)
%
%   See also MEGFWD_LEADFIELD.

if nargin < 3
  error('megfwd:usage', 'megfwd_gain needs ChannelMat, GridLoc and headmodel');
end
[nthreads, order, fit] = read_options(varargin);
channels = megfwd_need(ChannelMat, 'Channel', 'ChannelMat');
if ~isstruct(channels) || isempty(channels)
  error('megfwd:type', 'ChannelMat.Channel must be a non-empty structure array');
end
nchan = numel(channels);
if ~isfield(channels, 'Type')
  error('megfwd:missingField', 'ChannelMat.Channel(1).Type is missing');
end
types = {channels.Type}';
bad = find(~cellfun('isclass', types, 'char'), 1);
if ~isempty(bad)
  error('megfwd:type', 'ChannelMat.Channel(%d).Type must be text', bad);
end
isMeg = ismember(types, {'MEG', 'MEG MAG', 'MEG GRAD'});
isRef = strcmp(types, 'MEG REF');
isSensor = isMeg | isRef;
if ~any(isSensor)
  error('megfwd:channel', 'ChannelMat.Channel has no MEG channel (Type ''MEG'', ''MEG MAG'', ''MEG GRAD'' or ''MEG REF'')');
end

% Points of every MEG channel, and the channel-by-point weights.
[points, ori, owner, weight] = channel_points(channels, find(isSensor));
tra = sparse(owner, 1:numel(owner), weight, nchan, numel(owner));
if isfield(ChannelMat, 'MegRefCoef') && ~isempty(ChannelMat.MegRefCoef)
  coef = megfwd_real(ChannelMat.MegRefCoef, 'ChannelMat.MegRefCoef');
  if size(coef, 1) ~= sum(isMeg) || size(coef, 2) ~= sum(isRef)
    error('megfwd:size', 'ChannelMat.MegRefCoef is %d x %d; %d MEG x %d reference channels are needed', ...
      size(coef, 1), size(coef, 2), sum(isMeg), sum(isRef));
  end
  tra(isMeg, :) = tra(isMeg, :) - coef * tra(isRef, :);
end

GridLoc = megfwd_real(GridLoc, 'GridLoc', 3);
shell = inner_skull(headmodel, channels, order, fit);
if ~isempty(shell) && ~isfield(headmodel, 'HeadCenter') && ~isfield(headmodel, 'Param')
  % The single shell alone: it corrects its surface's least-squares sphere.
  spheres = nan(nchan, 4);
  pointSpheres = zeros(0, 4);
else
  spheres = channel_spheres(headmodel, channels, isSensor, isRef, points);
  pointSpheres = spheres(owner, :);
  if all(all(pointSpheres == pointSpheres(1, :)))
    pointSpheres = pointSpheres(1, :);
  end
end
nsrc = size(GridLoc, 1);
Gain = megfwd_points_gain('gain', megfwd_mm(points, 1000, 'the points of ChannelMat.Channel(:).Loc'), ori, ...
  megfwd_mm(pointSpheres, 1000, 'the spheres of headmodel'), tra, find(isSensor), ...
  megfwd_mm(GridLoc, 1000, 'GridLoc'), nthreads, shell{:});
if ~all(isSensor)
  sensorGain = Gain;
  Gain = nan(nchan, 3 * nsrc);
  Gain(isSensor, :) = sensorGain;
end

Param = struct('Center', num2cell(spheres(:, 1:3)', 1), 'Radius', num2cell(spheres(:, 4)'));
if isempty(pointSpheres)
  Param = struct('Center', cell(1, nchan), 'Radius', cell(1, nchan));
end
end

function [nthreads, order, fit] = read_options(args)
nthreads = 0;
order = [];
fit = 'galerkin';
if mod(numel(args), 2) ~= 0
  error('megfwd:usage', 'options come in name, value pairs');
end
for k = 1:2:numel(args)
  name = args{k};
  if ~ischar(name) || ~any(strcmp(name, {'nthreads', 'order', 'fit'}))
    error('megfwd:usage', 'unknown option; the options are ''nthreads'', ''order'' and ''fit''');
  end
  switch name
    case 'nthreads'
      nthreads = megfwd_threads(args{k + 1}, 'nthreads');
    case 'order'
      order = megfwd_real(args{k + 1}, 'order');
      if ~isscalar(order)
        error('megfwd:order', 'order must be one whole number');
      end
    case 'fit'
      fit = args{k + 1};
      if ~ischar(fit)
        error('megfwd:option', 'fit must be ''galerkin'' or ''lsq''');
      end
  end
end
end

function opts = inner_skull(headmodel, channels, order, fit)
% The gateway's options for a single shell from headmodel.InnerSkull (a
% Brainstorm tess structure, metres), or none.
if ~isstruct(headmodel) || ~isfield(headmodel, 'InnerSkull') || isempty(headmodel.InnerSkull)
  opts = {};
  return;
end
tess = headmodel.InnerSkull;
v = megfwd_real(megfwd_need(tess, 'Vertices', 'headmodel.InnerSkull'), 'headmodel.InnerSkull.Vertices', 3);
f = megfwd_real(megfwd_need(tess, 'Faces', 'headmodel.InnerSkull'), 'headmodel.InnerSkull.Faces', 3);
opts = {'surface', megfwd_mm(v, 1000, 'headmodel.InnerSkull.Vertices'), 'triangles', f, 'order', order, ...
  'fit', fit, 'names', strjoin({channels.Name}, char(10))};
end

function [points, ori, owner, weight] = channel_points(channels, which)
% The points of the channels `which`, checked as a whole and named by the
% first channel that is wrong.
for f = {'Loc', 'Orient', 'Weight'}
  if ~isfield(channels, f{1})
    error('megfwd:missingField', 'ChannelMat.Channel(%d).%s is missing', which(1), f{1});
  end
end
loc = {channels(which).Loc};
o = {channels(which).Orient};
w = {channels(which).Weight};
for f = {{loc, 'Loc'}, {o, 'Orient'}, {w, 'Weight'}}
  c = f{1}{1};
  bad = find(~(cellfun('isreal', c) & (cellfun('isclass', c, 'double') | cellfun('isclass', c, 'single'))), 1);
  if ~isempty(bad)
    % The one conversion that names its problem (type, complex values).
    megfwd_real(c{bad}, sprintf('ChannelMat.Channel(%d).%s', which(bad), f{1}{2}));
  end
end
p = cellfun('size', loc, 2);
bad = find(cellfun('size', loc, 1) ~= 3 | p < 1 | cellfun('ndims', loc) ~= 2, 1);
if ~isempty(bad)
  error('megfwd:size', 'ChannelMat.Channel(%d).Loc is %d x %d; 3 x P points are needed', which(bad), ...
    size(loc{bad}, 1), size(loc{bad}, 2));
end
bad = find(cellfun('size', o, 1) ~= 3 | cellfun('size', o, 2) ~= p, 1);
if ~isempty(bad)
  error('megfwd:size', 'ChannelMat.Channel(%d).Orient is %d x %d; 3 x %d (one per point of Loc) is needed', ...
    which(bad), size(o{bad}, 1), size(o{bad}, 2), p(bad));
end
bad = find(cellfun('prodofsize', w) ~= p, 1);
if ~isempty(bad)
  error('megfwd:size', 'ChannelMat.Channel(%d).Weight has %d values; %d (one per point of Loc) are needed', ...
    which(bad), numel(w{bad}), p(bad));
end
points = megfwd_real([loc{:}]', 'ChannelMat.Channel(:).Loc');
ori = megfwd_real([o{:}]', 'ChannelMat.Channel(:).Orient');
weight = cellfun(@(x) x(:), w, 'UniformOutput', false);
weight = megfwd_real(vertcat(weight{:}), 'ChannelMat.Channel(:).Weight');
owner = repelem(which(:), p(:));
zero = find(sum(ori .^ 2, 2) == 0, 1);
if ~isempty(zero)
  error('megfwd:coilori', 'ChannelMat.Channel(%d).Orient has a zero column; a point needs an orientation', owner(zero));
end
end

function spheres = channel_spheres(headmodel, channels, isSensor, isRef, points)
% One row [centre radius] per channel, metres. Param gives each channel its
% sphere; a reference channel whose Param has no Center takes the global
% sphere (HeadCenter), as do all channels without Param.
if ~isstruct(headmodel)
  error('megfwd:headmodel', 'headmodel must be a structure with HeadCenter, Param or InnerSkull');
end
nchan = numel(channels);
global_sphere = [];
if isfield(headmodel, 'HeadCenter') && ~isempty(headmodel.HeadCenter)
  c = megfwd_real(headmodel.HeadCenter, 'headmodel.HeadCenter');
  if numel(c) ~= 3
    error('megfwd:size', 'headmodel.HeadCenter has %d values; 3 are needed', numel(c));
  end
  global_sphere = [c(:)' radius(megfwd_getopt(headmodel, 'Radius', []), 'headmodel.Radius', c(:)', points)];
end
if ~isfield(headmodel, 'Param') || isempty(headmodel.Param)
  if isempty(global_sphere)
    error('megfwd:headmodel', 'headmodel needs HeadCenter (one sphere) or Param (one sphere per channel)');
  end
  spheres = repmat(global_sphere, nchan, 1);
  return;
end
param = headmodel.Param;
if ~isstruct(param) || numel(param) ~= nchan
  error('megfwd:size', 'headmodel.Param has %d entries; one per channel (%d) is needed', numel(param), nchan);
end
spheres = nan(nchan, 4);
for i = find(isSensor(:))'
  where = sprintf('headmodel.Param(%d)', i);
  c = megfwd_getopt(param(i), 'Center', []);
  if isempty(c)
    if isRef(i) && ~isempty(global_sphere)
      spheres(i, :) = global_sphere;
      continue;
    end
    error('megfwd:noSphere', '%s.Center (channel ''%s'') is empty; a MEG channel needs its sphere%s', where, ...
      channels(i).Name, ref_hint(isRef(i)));
  end
  c = megfwd_real(c, [where '.Center']);
  if numel(c) ~= 3
    error('megfwd:size', '%s.Center has %d values; 3 are needed', where, numel(c));
  end
  spheres(i, :) = [c(:)' radius(megfwd_getopt(param(i), 'Radius', []), [where '.Radius'], c(:)', points)];
end
end

function hint = ref_hint(isRef)
hint = '';
if isRef
  hint = ' (a reference channel takes headmodel.HeadCenter when it is given)';
end
end

function r = radius(r, name, centre, points)
% A given radius, or else the distance from the centre to the nearest
% point (a sphere that holds no sensor).
if isempty(r)
  r = sqrt(min(sum((points - centre) .^ 2, 2)));
  return;
end
r = megfwd_real(r, name);
if ~isscalar(r) || r <= 0
  error('megfwd:headmodel', '%s must be one positive number', name);
end
end
