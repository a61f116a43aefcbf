function bench_toolbox(dir)
% The Octave side of bench_vs_python.py: times megfwd_leadfield and
% megfwd_gain on the system in dir/bench.bin and prints every run's time, and
% the largest relative difference from dir/reference.f64.
b = read_arrays(fullfile(dir, 'bench.bin'));
n = size(b.tra, 1);
grad = struct('label', {arrayfun(@(i) sprintf('MEG%03d', i), (1:n)', 'UniformOutput', false)}, ...
  'chantype', {repmat({'meggrad'}, n, 1)}, 'coilpos', b.coilpos, 'coilori', b.coilori, 'tra', b.tra, 'unit', 'm');
cfg = struct('grad', grad, 'reducerank', 'no', 'nthreads', b.threads);
cfg.headmodel = struct('type', 'singlesphere', 'o', b.sphere(1:3)', 'r', b.sphere(4), 'unit', 'm');
cfg.sourcemodel = struct('pos', b.sources, 'unit', 'm');
for k = 1:n
  p = find(b.tra(k, :));
  ChannelMat.Channel(k) = struct('Name', grad.label{k}, 'Type', 'MEG', 'Loc', b.coilpos(p, :)', ...
    'Orient', b.coilori(p, :)', 'Weight', b.tra(k, p));
end
hm = struct('HeadCenter', b.sphere(1:3));

% The gateway alone, on the arrays megfwd_leadfield gives it.
[r, c, w] = find(b.tra);
mex_args = {b.coilpos * 1000, b.coilori, b.sphere(:)' * 1000, r, c, w, n, (1:n)', b.sources * 1000, b.threads};
sm = megfwd_leadfield(cfg);  % warm-up
t = zeros(b.runs, 3);
for k = 1:b.runs
  tic;
  sm = megfwd_leadfield(cfg);
  t(k, 1) = toc;
  tic;
  G = megfwd_gain(ChannelMat, b.sources, hm, 'nthreads', b.threads);
  t(k, 2) = toc;
  tic;
  M = megfwd_mex('gain', mex_args{:});
  t(k, 3) = toc;
end
f = fopen(fullfile(dir, 'reference.f64'), 'r', 'ieee-le');
ref = reshape(fread(f, Inf, 'double'), n, []);
fclose(f);
L = [sm.leadfield{:}];
printf('leadfield%s\n', sprintf(' %.6f', t(:, 1)));
printf('gain%s\n', sprintf(' %.6f', t(:, 2)));
printf('gateway%s\n', sprintf(' %.6f', t(:, 3)));
printf('difference %.3g\n', max(max(abs(L(:) - ref(:))), max(abs(G(:) - ref(:)))) / max(abs(ref(:))));
end
