function test_toolbox(fixture_dir, readme)
% Tests of the MATLAB/Octave toolbox, run by ctest in octave-cli with the
% built toolbox on the path:
%   octave-cli --eval "addpath('<toolbox>', 'tests/matlab'); test_toolbox('<dir of fixture.bin>', 'README.md')"
% Prints "N passed, N failed" and exits with status 1 after a failure.
fx = read_fixture(fullfile(fixture_dir, 'fixture.bin'));
t = struct('passed', 0, 'failed', 0);
warning('off', 'megfwd:library');

ft = fieldtrip_inputs(fx);
bs = brainstorm_inputs(fx);
nmeg = size(fx.gain_plain, 1);
nsrc = size(fx.sources, 1);

% --- against the library's own sensors and reference correction (Python)
cfg = ft;
cfg.grad.tra = fx.tra;
plain = gain_of(megfwd_leadfield(cfg));
t = check(t, 'FieldTrip path, no balancing, vs Python', rel(plain, fx.gain_plain) <= 1e-12, rel(plain, fx.gain_plain));
balanced = gain_of(megfwd_leadfield(ft));
t = check(t, 'FieldTrip path, balancing in tra, vs Python', ...
  rel(balanced, fx.gain_balanced) <= 1e-12, rel(balanced, fx.gain_balanced));
[G, Param] = megfwd_gain(bs, fx.sources, struct('HeadCenter', fx.sphere(1:3)'));
t = check(t, 'Brainstorm path, MegRefCoef, vs Python', ...
  rel(G(1:nmeg, :), fx.gain_balanced) <= 1e-12, rel(G(1:nmeg, :), fx.gain_balanced));
t = check(t, 'Brainstorm and FieldTrip paths agree exactly', isequal(G(1:nmeg, :), balanced), rel(G(1:nmeg, :), balanced));
cfg = ft;
cfg.channel = 'MEGREF';
t = check(t, 'reference rows agree exactly', isequal(G(nmeg + 1:end - 1, :), gain_of(megfwd_leadfield(cfg))));
t = check(t, 'a channel that is no MEG sensor is a NaN row', all(isnan(G(end, :))));
t = check(t, 'Param holds each channel''s sphere', isequal(Param(1).Center, fx.sphere(1:3)'));

% --- against a Sarvas sum over the grad's points written here
ref = sarvas_gain(fx.coilpos, fx.coilori, ft.grad.tra(1:nmeg, :), fx.sources, fx.sphere(1:3));
t = check(t, 'FieldTrip path vs Sarvas sum here', rel(balanced, ref) <= 1e-10, rel(balanced, ref));
ref = sarvas_gain(fx.coilpos, fx.coilori, fx.tra(nmeg + 1:end, :), fx.sources, fx.sphere(1:3));
t = check(t, 'Brainstorm reference rows vs Sarvas sum here', ...
  rel(G(nmeg + 1:end - 1, :), ref) <= 1e-10, rel(G(nmeg + 1:end - 1, :), ref));
cfg = ft;
cfg.grad.coilori = 2 * cfg.grad.coilori;
t = check(t, 'orientations are taken at their length', isequal(gain_of(megfwd_leadfield(cfg)), 2 * balanced));

% --- units, storage types, threads
for u = {'cm', 'mm'}
  f = 100 * strcmp(u{1}, 'cm') + 1000 * strcmp(u{1}, 'mm');
  cfg = scaled(ft, f, u{1});
  other = gain_of(megfwd_leadfield(cfg));
  t = check(t, ['same values for geometry in ' u{1}], rel(other, balanced) <= 1e-12, rel(other, balanced));
end
cfg = ft;
cfg.grad.tra = sparse(ft.grad.tra);
t = check(t, 'sparse tra equals full tra', isequal(gain_of(megfwd_leadfield(cfg)), balanced));
cfg.grad.tra = single(ft.grad.tra);
cfg.grad.coilpos = single(ft.grad.coilpos);
one = gain_of(megfwd_leadfield(cfg));
cfg.grad.tra = double(single(ft.grad.tra));
cfg.grad.coilpos = double(single(ft.grad.coilpos));
t = check(t, 'single arrays are read as their double values', isequal(one, gain_of(megfwd_leadfield(cfg))));
cfg = ft;
cfg.nthreads = 1;
one = gain_of(megfwd_leadfield(cfg));
cfg.nthreads = 4;
t = check(t, '1 thread and 4 threads give the same bits', isequal(one, gain_of(megfwd_leadfield(cfg))));
one = megfwd_gain(bs, fx.sources, struct('HeadCenter', fx.sphere(1:3)'), 'nthreads', 1);
t = check(t, 'threads in the Brainstorm path', isequal(one(1:end - 1, :), G(1:end - 1, :)));

% --- FieldTrip options
cfg = ft;
cfg.sourcemodel.inside = [2 5];
sm = megfwd_leadfield(cfg);
t = check(t, 'inside as indices: only those computed', islogical(sm.inside) && isequal(find(sm.inside), [2; 5]) ...
  && isempty(sm.leadfield{1}) && isequal(sm.leadfield{5}, balanced(:, 13:15)));
cfg = ft;
cfg.reducerank = 2;
sm = megfwd_leadfield(cfg);
L = balanced(:, 1:3);
t = check(t, 'rank 2 of a sphere''s leadfield is the leadfield', rel(sm.leadfield{1}, L) <= 1e-12, ...
  rel(sm.leadfield{1}, L));
cfg.backproject = 'no';
cfg.normalize = 'yes';
sm = megfwd_leadfield(cfg);
t = check(t, 'no backprojection gives 2 columns; normalised to norm 1', ...
  isequal(size(sm.leadfield{1}), [nmeg 2]) && abs(norm(sm.leadfield{1}, 'fro') - 1) <= 1e-12);
cfg = ft;
cfg.channel = {'MEG03', 'MEG01'};
sm = megfwd_leadfield(cfg);
t = check(t, 'a channel list keeps the grad''s order', isequal(sm.label, {'MEG01'; 'MEG03'}) && ...
  isequal(sm.leadfield{1}, balanced([2 4], 1:3)));
cfg = ft;
cfg.sourcemodel.pos = [fx.sphere(1:3); fx.sources(1, :)];
lastwarn('');
sm = megfwd_leadfield(cfg);
[~, id] = lastwarn();
t = check(t, 'a source at the centre is 0 and reported', all(sm.leadfield{1}(:) == 0) && ...
  strcmp(id, 'megfwd:sourceAtCentre') && isequal(sm.leadfield{2}, balanced(:, 1:3)));

% --- local spheres for the MEG channels only, as FieldTrip prepares them
% for a CTF grad: the references need no sphere; a reference coil folded
% into the balanced channels takes the sphere of the channel that weighs it
% most, so the balanced values are not the command line's (which gives the
% reference sensors the global sphere) but Brainstorm's MegRefCoef route is
if isfield(fx, 'gain_local_balanced')
  cfg = ft;
  cfg.headmodel = struct('type', 'localspheres', 'o', fx.local_centres, 'r', fx.local_radii, ...
    'label', {ft.grad.label(1:nmeg)}, 'unit', 'm');
  local = gain_of(megfwd_leadfield(cfg));
  [~, heaviest] = max(abs(ft.grad.tra(1:nmeg, :)), [], 1);
  centres = fx.local_centres(heaviest, :);
  ref = sarvas_gain(fx.coilpos, fx.coilori, ft.grad.tra(1:nmeg, :), fx.sources, centres);
  t = check(t, 'local spheres, balancing in tra, vs Sarvas sum here', rel(local, ref) <= 1e-10, rel(local, ref));
  plaincfg = cfg;
  plaincfg.grad.tra = fx.tra;
  other = gain_of(megfwd_leadfield(plaincfg));
  t = check(t, 'local spheres, no balancing, vs the command line', ...
    rel(other, fx.gain_local_plain) <= 1e-12, rel(other, fx.gain_local_plain));
  [~, heaviest] = max(abs(fx.tra(1:nmeg, :)), [], 1);
  ref = sarvas_gain(fx.coilpos, fx.coilori, fx.tra(1:nmeg, :), fx.sources, fx.local_centres(heaviest, :));
  t = check(t, 'local spheres, no balancing, vs Sarvas sum here', rel(other, ref) <= 1e-10, rel(other, ref));
  percoil = cfg;
  percoil.headmodel = struct('type', 'localspheres', 'o', centres, 'r', 0.09 * ones(size(centres, 1), 1), 'unit', 'm');
  t = check(t, 'one sphere per coil equals one per channel', rel(gain_of(megfwd_leadfield(percoil)), local) <= 1e-14);
  % Brainstorm: the reference channels' Param without a Center take the
  % HeadCenter sphere
  param = struct('Center', [num2cell(fx.local_centres', 1), cell(1, size(fx.tra, 1) - nmeg + 1)]);
  Gl = megfwd_gain(bs, fx.sources, struct('Param', param, 'HeadCenter', fx.sphere(1:3)'));
  t = check(t, 'Brainstorm Param spheres vs the command line', ...
    rel(Gl(1:nmeg, :), fx.gain_local_balanced) <= 1e-12, rel(Gl(1:nmeg, :), fx.gain_local_balanced));
  param(nmeg + 1).Center = fx.sphere(1:3)';
  Gl = megfwd_gain(bs, fx.sources, struct('Param', param, 'HeadCenter', [0; 0; 0]));
  t = check(t, 'Brainstorm: a reference''s own Param wins over HeadCenter', ...
    rel(Gl(nmeg + 1, :), G(nmeg + 1, :)) <= 1e-14 && rel(Gl(nmeg + 2, :), G(nmeg + 2, :)) > 1e-3, ...
    rel(Gl(nmeg + 1, :), G(nmeg + 1, :)));
end

% --- the single shell: FieldTrip's 'singleshell' and Brainstorm's
% InnerSkull against the Python package's SingleShell on the same surface;
% the toolbox's grouped sensors add roundings, hence 1e-9
shellcfg = ft;
shellcfg.headmodel = struct('type', 'singleshell', 'bnd', struct('pos', fx.shell_vertices, ...
  'tri', fx.shell_triangles, 'unit', 'm'), 'order', 8);
shell = gain_of(megfwd_leadfield(shellcfg));
t = check(t, 'singleshell, balancing in tra, vs Python', rel(shell, fx.gain_shell_balanced) <= 1e-9, ...
  rel(shell, fx.gain_shell_balanced));
t = check(t, 'the shell corrects the sphere by more than 1e-3', rel(shell, balanced) > 1e-3, rel(shell, balanced));
cfg = shellcfg;
cfg.grad.tra = fx.tra;
other = gain_of(megfwd_leadfield(cfg));
t = check(t, 'singleshell, no balancing, vs Python', rel(other, fx.gain_shell_plain) <= 1e-9, ...
  rel(other, fx.gain_shell_plain));
cfg = shellcfg;
cfg.grad.coilpos = 1000 * cfg.grad.coilpos;
cfg.grad.unit = 'mm';
cfg.sourcemodel = struct('pos', 1000 * fx.sources, 'unit', 'mm');
cfg.headmodel.bnd = struct('pos', 1000 * fx.shell_vertices, 'tri', fx.shell_triangles);
cfg.headmodel.unit = 'mm';
other = gain_of(megfwd_leadfield(cfg));
t = check(t, 'singleshell in mm, unit from headmodel.unit', rel(other, shell) <= 1e-12, rel(other, shell));
cfg.headmodel.bnd.pos = fx.shell_vertices(:, [1 2 3]);
cfg.headmodel.bnd.tri = fx.shell_triangles(:, [1 3 2]);  % wound inward: turned
cfg.headmodel.bnd.unit = 'm';
cfg.headmodel = rmfield(cfg.headmodel, 'unit');
other = gain_of(megfwd_leadfield(cfg));
t = check(t, 'a surface in m with sensors in mm, wound inward', rel(other, shell) <= 1e-12, rel(other, shell));
cfg = shellcfg;
cfg.headmodel.order = 5;
cfg.headmodel.fit = 'lsq';
other = gain_of(megfwd_leadfield(cfg));
t = check(t, 'singleshell, lsq fit at order 5, vs Python', rel(other, fx.gain_shell_lsq) <= 1e-9, ...
  rel(other, fx.gain_shell_lsq));
skull = struct('InnerSkull', struct('Vertices', fx.shell_vertices, 'Faces', fx.shell_triangles));
Gs = megfwd_gain(bs, fx.sources, skull, 'order', 8);
t = check(t, 'InnerSkull in megfwd_gain (MegRefCoef) vs Python', ...
  rel(Gs(1:nmeg, :), fx.gain_shell_balanced) <= 1e-9, rel(Gs(1:nmeg, :), fx.gain_shell_balanced));

% --- head models fitted by megfwd_prepare_headmodel against the Python
% package's fits of the same surface
mesh = struct('pos', fx.shell_vertices, 'tri', fx.shell_triangles, 'unit', 'm');
hm = megfwd_prepare_headmodel(struct('method', 'singlesphere', 'headshape', 1000 * fx.shell_vertices, 'unit', 'mm'));
t = check(t, 'prepared single sphere (points in mm) vs Python', ...
  rel([hm.o hm.r] / 1000, fx.fit_sphere(:)') <= 1e-12 && strcmp(hm.unit, 'mm'), rel([hm.o hm.r] / 1000, fx.fit_sphere(:)'));
cfg = ft;
cfg.method = 'localspheres';
cfg.headshape = mesh;
hm = megfwd_prepare_headmodel(cfg);
t = check(t, 'prepared local spheres vs LocalSpheres.fit', isequal(hm.label, ft.grad.label(1:nmeg)) && ...
  rel([hm.o hm.r], [fx.fit_local_centres fx.fit_local_radii(:)]) <= 1e-12, ...
  rel([hm.o hm.r], [fx.fit_local_centres fx.fit_local_radii(:)]));
cfg.radius = 0.002;
lastwarn('');
far = megfwd_prepare_headmodel(cfg);
[~, id] = lastwarn();
t = check(t, 'too few points near a channel: the global sphere, reported', all(far.fallback) && ...
  strcmp(id, 'megfwd:fallback') && ~any(hm.fallback));
cfg = ft;
cfg.headmodel = hm;
t = check(t, 'prepared local spheres pass to megfwd_leadfield', isequal(size(gain_of(megfwd_leadfield(cfg))), size(balanced)));
hm = megfwd_prepare_headmodel(struct('method', 'singleshell', 'headshape', ...
  setfield(mesh, 'tri', fx.shell_triangles(:, [1 3 2])), 'order', 8));
cfg = ft;
cfg.headmodel = hm;
other = gain_of(megfwd_leadfield(cfg));
t = check(t, 'prepared single shell (wound inward: turned) vs Python', isequal(hm.bnd.tri, fx.shell_triangles) && ...
  rel(other, fx.gain_shell_balanced) <= 1e-9, rel(other, fx.gain_shell_balanced));

% --- the sensor-array file: the library's own file of this system, and a
% round trip through the writer
grad = megfwd_read_sensors(fullfile(fixture_dir, 'sensors.json'));
cfg = ft;
cfg.grad = grad;
fromfile = gain_of(megfwd_leadfield(cfg));
t = check(t, 'a grad read from the library''s file vs Python', rel(fromfile, fx.gain_balanced) <= 1e-12, ...
  rel(fromfile, fx.gain_balanced));
copy = [tempname() '.json'];
megfwd_write_sensors(ft.grad, copy);
back = megfwd_read_sensors(copy);
delete(copy);
t = check(t, 'a grad written and read back', isequal(back.label, ft.grad.label) && ...
  rel(back.tra, ft.grad.tra) <= 1e-15 && rel(back.coilpos, ft.grad.coilpos) <= 1e-15 && ...
  isequal(back.chantype, ft.grad.chantype), rel(back.tra, ft.grad.tra));

% --- the README's example, as written (its addpath names the folder of
% ./run.sh matlab, which need not exist here: the toolbox is on the path)
if nargin > 1
  out = evalc(readme_block(readme, '## MATLAB and Octave'));
  t = check(t, 'the README''s example runs', ~isempty(regexp(out, '2\s+3', 'once')) && ...
    ~isempty(regexp(out, '^\s*1\s*$', 'once', 'lineanchors')), out);
end

% --- bad input: each is refused with its identifier, and the next call works
bad = bad_inputs(ft, bs, fx, shellcfg, skull);
for k = 1:size(bad, 1)
  id = '';
  try
    bad{k, 2}();
  catch err
    id = err.identifier;
  end
  again = gain_of(megfwd_leadfield(ft));
  t = check(t, ['refused: ' bad{k, 1}], strcmp(id, bad{k, 3}) && isequal(again, balanced), ...
    sprintf('got ''%s''', id));
end

fprintf('%d passed, %d failed\n', t.passed, t.failed);
if t.failed > 0
  exit(1);
end
end

function t = check(t, name, ok, detail)
if nargin > 3 && isnumeric(detail) && ok
  fprintf('%-55s %.2g\n', name, detail);  % the measured agreement, for the record
end
if ok
  t.passed = t.passed + 1;
  return;
end
t.failed = t.failed + 1;
if nargin > 3 && isnumeric(detail)
  detail = sprintf('%.3g', detail);
elseif nargin < 4
  detail = '';
end
fprintf('FAILED: %s %s\n', name, detail);
end

function code = readme_block(file, heading)
% The first matlab code block of the README section under heading.
text = fileread(file);
text = text(strfind(text, [heading char(10)]):end);
code = regexp(text, '```matlab\n(.*?)```', 'tokens', 'once');
code = strrep(code{1}, 'addpath(''build/matlab'')', '');
end

function r = rel(a, b)
r = max(abs(a(:) - b(:))) / max(abs(b(:)));
if ~isequal(size(a), size(b))
  r = Inf;
end
end

function G = gain_of(sm)
% The leadfields of the sources inside as one channels x 3N matrix.
G = [sm.leadfield{sm.inside}];
end

function fx = read_fixture(file)
fx = read_arrays(file);
fx.sphere = fx.sphere(:)';
end

function cfg = fieldtrip_inputs(fx)
nmeg = size(fx.gain_plain, 1);
nref = size(fx.tra, 1) - nmeg;
grad.label = [arrayfun(@(i) sprintf('MEG%02d', i), 0:nmeg - 1, 'UniformOutput', false), ...
  arrayfun(@(i) sprintf('REF%d', i), 0:nref - 1, 'UniformOutput', false)]';
grad.chantype = [repmat({'meggrad'}, nmeg, 1); repmat({'refmag'}, nref, 1)];
grad.coilpos = fx.coilpos;
grad.coilori = fx.coilori;
% CTF-style balancing: each gradiometer minus its weighted references.
grad.tra = fx.tra;
grad.tra(1:nmeg, :) = fx.tra(1:nmeg, :) - fx.refcoef * fx.tra(nmeg + 1:end, :);
grad.unit = 'm';
cfg.grad = grad;
cfg.headmodel = struct('type', 'singlesphere', 'o', fx.sphere(1:3), 'r', fx.sphere(4), 'unit', 'm');
cfg.sourcemodel = struct('pos', fx.sources, 'unit', 'm');
cfg.reducerank = 'no';
end

function cfg = scaled(cfg, f, unit)
cfg.grad.coilpos = cfg.grad.coilpos * f;
cfg.grad.unit = unit;
cfg.headmodel.o = cfg.headmodel.o * f;
cfg.headmodel.r = cfg.headmodel.r * f;
cfg.headmodel.unit = unit;
cfg.sourcemodel.pos = cfg.sourcemodel.pos * f;
cfg.sourcemodel.unit = unit;
end

function ChannelMat = brainstorm_inputs(fx)
% The same system as Brainstorm channels, plus one EEG channel.
nmeg = size(fx.gain_plain, 1);
nchan = size(fx.tra, 1);
for i = 1:nchan
  p = find(fx.tra(i, :));
  if i <= nmeg
    ChannelMat.Channel(i).Name = sprintf('MEG%02d', i - 1);
    ChannelMat.Channel(i).Type = 'MEG';
  else
    ChannelMat.Channel(i).Name = sprintf('REF%d', i - nmeg - 1);
    ChannelMat.Channel(i).Type = 'MEG REF';
  end
  ChannelMat.Channel(i).Loc = fx.coilpos(p, :)';
  ChannelMat.Channel(i).Orient = fx.coilori(p, :)';
  ChannelMat.Channel(i).Weight = fx.tra(i, p);
end
ChannelMat.Channel(nchan + 1).Name = 'EEG1';
ChannelMat.Channel(nchan + 1).Type = 'EEG';
ChannelMat.Channel(nchan + 1).Loc = [0; 0; 0.1];
ChannelMat.MegRefCoef = fx.refcoef;
end

function G = sarvas_gain(coilpos, coilori, tra, sources, centres)
% tra times the field of each coil point along its orientation, for unit
% dipoles along x, y, z: Sarvas (1987), B = mu0/(4 pi F^2) (F q x r0 -
% (q x r0 . r) grad F), r and r0 relative to the point's sphere centre
% (centres: one row, or one per point).
r = coilpos - centres;
nr = sqrt(sum(r .^ 2, 2));
G = zeros(size(tra, 1), 3 * size(sources, 1));
for s = 1:size(sources, 1)
  r0 = sources(s, :) - centres + zeros(size(r));
  a = r - r0;
  na = sqrt(sum(a .^ 2, 2));
  ar = sum(a .* r, 2);
  F = na .* (nr .* na + nr .^ 2 - sum(r0 .* r, 2));
  gradF = (na .^ 2 ./ nr + ar ./ na + 2 * na + 2 * nr) .* r - (na + 2 * nr + ar ./ na) .* r0;
  for k = 1:3
    q = zeros(size(r));
    q(:, k) = 1;
    qr0 = cross(q, r0, 2);
    B = 1e-7 * (F .* qr0 - sum(qr0 .* r, 2) .* gradF) ./ F .^ 2;
    G(:, 3 * (s - 1) + k) = tra * sum(B .* coilori, 2);
  end
end
end

function bad = bad_inputs(ft, bs, fx, shellcfg, skull)
% name, call, expected identifier
c = @(varargin) with(ft, varargin{:});
hm = struct('HeadCenter', fx.sphere(1:3)');
bad = {
  'no grad', @() megfwd_leadfield(rmfield(ft, 'grad')), 'megfwd:missingField'
  'cfg not a structure', @() megfwd_leadfield(3), 'megfwd:cfg'
  'unknown unit', @() megfwd_leadfield(c('grad.unit', 'inch')), 'megfwd:units'
  'mixed units', @() megfwd_leadfield(c('sourcemodel.unit', 'mm')), 'megfwd:units'
  'sourcemodel without unit', @() megfwd_leadfield(c('sourcemodel', struct('pos', fx.sources))), 'megfwd:missingField'
  'complex coilpos', @() megfwd_leadfield(c('grad.coilpos', complex(fx.coilpos, 0))), 'megfwd:complex'
  'coilpos as text', @() megfwd_leadfield(c('grad.coilpos', 'abc')), 'megfwd:type'
  'NaN source', @() megfwd_leadfield(c('sourcemodel.pos', [NaN 0 0])), 'megfwd:notFinite'
  'two-column pos', @() megfwd_leadfield(c('sourcemodel.pos', [0 0])), 'megfwd:size'
  'tra of the wrong size', @() megfwd_leadfield(c('grad.tra', ft.grad.tra(:, 2:end))), 'megfwd:size'
  'zero coilori', @() megfwd_leadfield(c('grad.coilori', 0 * fx.coilori)), 'megfwd:coilori'
  'unknown head model', @() megfwd_leadfield(c('headmodel.type', 'bem')), 'megfwd:headmodel'
  'negative radius', @() megfwd_leadfield(c('headmodel.r', -1)), 'megfwd:headmodel'
  'unknown channel', @() megfwd_leadfield(c('channel', {'XYZ'})), 'megfwd:channel'
  'reducerank 5', @() megfwd_leadfield(c('reducerank', 5)), 'megfwd:reducerank'
  'negative threads', @() megfwd_leadfield(c('nthreads', -1)), 'megfwd:threads'
  'inside out of range', @() megfwd_leadfield(c('sourcemodel.inside', 99)), 'megfwd:inside'
  'source 20 m away', @() megfwd_leadfield(c('sourcemodel.pos', [20 0 0])), 'megfwd:range'
  'local spheres for no channel', @() megfwd_leadfield(c('headmodel', struct('type', 'localspheres', ...
    'o', [0 0 0], 'r', 0.09, 'label', {{'XYZ'}}))), 'megfwd:noSphere'
  'local spheres for the references only', @() megfwd_leadfield(c('headmodel', struct('type', 'localspheres', ...
    'o', [0 0 0], 'r', 0.09, 'label', {{'REF0'}}))), 'megfwd:noSphere'
  'a MEG channel''s Param without Center', @() megfwd_gain(bs, fx.sources, struct('HeadCenter', [0; 0; 0], ...
    'Param', struct('Center', cell(1, numel(bs.Channel))))), 'megfwd:noSphere'
  'an open surface', @() megfwd_leadfield(c('headmodel', setfield(shellcfg.headmodel, 'bnd', ...
    struct('pos', fx.shell_vertices, 'tri', fx.shell_triangles(2:end, :), 'unit', 'm')))), 'megfwd:surface'
  'sensors inside the surface', @() megfwd_leadfield(c('headmodel', setfield(shellcfg.headmodel, 'bnd', ...
    struct('pos', 2 * fx.shell_vertices, 'tri', fx.shell_triangles, 'unit', 'm')))), 'megfwd:sensorInside'
  'an order the surface cannot carry', @() megfwd_gain(bs, fx.sources, skull, 'order', 25), 'megfwd:order'
  'a surface without unit', @() megfwd_leadfield(c('headmodel', struct('type', 'singleshell', ...
    'bnd', struct('pos', fx.shell_vertices, 'tri', fx.shell_triangles)))), 'megfwd:missingField'
  'an unknown fit', @() megfwd_gain(bs, fx.sources, skull, 'fit', 'bem'), 'megfwd:option'
  'preparing a single shell on an open mesh', @() megfwd_prepare_headmodel(struct('method', 'singleshell', ...
    'headshape', struct('pos', fx.shell_vertices, 'tri', fx.shell_triangles(2:end, :), 'unit', 'm'))), 'megfwd:surface'
  'preparing an unknown method', @() megfwd_prepare_headmodel(struct('method', 'bem', 'headshape', fx.sources)), ...
    'megfwd:method'
  'MegRefCoef of the wrong size', @() megfwd_gain(setfield(bs, 'MegRefCoef', 1), fx.sources, hm), 'megfwd:size'
  'Orient of the wrong size', @() megfwd_gain(chan(bs, 'Orient', [1; 0; 0]), fx.sources, hm), 'megfwd:size'
  'Weight as text', @() megfwd_gain(chan(bs, 'Weight', 'w'), fx.sources, hm), 'megfwd:type'
  'head model without centre', @() megfwd_gain(bs, fx.sources, struct()), 'megfwd:headmodel'
  'GridLoc of 2 columns', @() megfwd_gain(bs, [0 0], hm), 'megfwd:size'
  'gateway given a structure', @() megfwd_mex('gain', struct()), 'megfwd:mexUsage'
  'gateway given int32 points', @() megfwd_mex('gain', int32([0 0 1]), [0 0 1], [0 0 0 1], 1, 1, 1, 1, 1, ...
    [0 0 0], 0), 'megfwd:mexUsage'
  'gateway given a weight index past the points', @() megfwd_mex('gain', [0 0 100; 0 1 100], [0 0 1; 0 0 1], ...
    [0 0 0 90], 1, 3, 1, 1, 1, [0 0 10], 0), 'megfwd:input'
  'unknown gateway command', @() megfwd_mex('nothing'), 'megfwd:mexUsage'
  'reading a file that does not exist', @() megfwd_read_sensors(fullfile(tempdir(), 'no-such-file.json')), ...
    'megfwd:input'
  'writing a tra that mixes measurement channels', @() megfwd_write_sensors(with(ft.grad, 'tra', ...
    ft.grad.tra + 0.01 * circshift(fx.tra, 1)), fullfile(tempdir(), 'never-written.json')), 'megfwd:tra'
  };
end

function s = with(s, path, value)
% s with the field at the dotted path replaced.
parts = strsplit(path, '.');
s = setfield(s, parts{:}, value);
end

function bs = chan(bs, field, value)
bs.Channel(1).(field) = value;
end
