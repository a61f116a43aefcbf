function megfwd_write_sensors(grad, file)
%MEGFWD_WRITE_SENSORS  Writes a FieldTrip-style grad as a megfwd
%   sensor-array file (millimetres), atomically: an existing file is
%   replaced only once the new one is complete.
%
%   megfwd_write_sensors(grad, file)
%
%   grad needs label, chantype, coilpos, coilori, tra and unit ('m', 'cm'
%   or 'mm'). Each coil belongs to the channel with the largest |tra| in its
%   column and is written as a point coil (radius 0) of that channel, with
%   its weight from tra and turns +1 or -1 by the weight's sign. A channel's
%   weights on another channel's coils must be that channel's weights times
%   one number (the balancing of reference channels, which chantype 'ref...'
%   marks): they are written as the file's reference weights. Kinds: 100
%   'megmag', 101 'meggrad', 'megaxial' and 'megplanar', 10 'refmag', 11
%   'refgrad' and 'refplanar', 200 'eeg', 300 anything else.
%
%   In the library's standard sensor model a sensor's weighted sum is
%   divided by the sum of its weights when that is not 0, and its CTF model
%   reads the turns: compute on such a file with the toolbox to get tra's
%   values, or write gradiometers with weights +1/-1 along one orientation.
%
%   Example:
%     megfwd_write_sensors(megfwd_read_sensors('helmet.json'), 'copy.json');
%
%   See also MEGFWD_READ_SENSORS.
if ~ischar(file)
  error('megfwd:type', 'file must be a file name (text)');
end
label = megfwd_need(grad, 'label', 'grad');
chantype = megfwd_need(grad, 'chantype', 'grad');
if ~iscellstr(label) || ~iscellstr(chantype) || numel(label) ~= numel(chantype)
  error('megfwd:type', 'grad.label and grad.chantype must be cell arrays of text, one entry per channel');
end
bad = find(~cellfun('isempty', strfind(label, char(10))), 1);
if ~isempty(bad)
  error('megfwd:channel', 'grad.label{%d} holds a line break', bad);
end
mm = megfwd_unit_mm(megfwd_need(grad, 'unit', 'grad'), 'grad.unit');
pos = megfwd_real(megfwd_need(grad, 'coilpos', 'grad'), 'grad.coilpos', 3) * mm;
ori = megfwd_real(megfwd_need(grad, 'coilori', 'grad'), 'grad.coilori', 3);
tra = full(megfwd_real(megfwd_need(grad, 'tra', 'grad'), 'grad.tra'));
nch = numel(label);
if ~isequal(size(tra), [nch size(pos, 1)]) || size(ori, 1) ~= size(pos, 1)
  error('megfwd:size', 'grad.tra is %d x %d; %d channels x %d coils are needed', size(tra, 1), size(tra, 2), ...
    nch, size(pos, 1));
end
kind = 300 * ones(nch, 1);
types = lower(chantype(:));
kind(strcmp(types, 'megmag')) = 100;
kind(ismember(types, {'meggrad', 'megaxial', 'megplanar'})) = 101;
kind(strcmp(types, 'refmag')) = 10;
kind(ismember(types, {'refgrad', 'refplanar'})) = 11;
kind(strcmp(types, 'eeg')) = 200;

[~, owner] = max(abs(tra), [], 1);
used = find(any(tra ~= 0, 1));
owner = owner(used);
w = tra(sub2ind(size(tra), owner, used))';
coils = [owner(:) pos(used, :) ori(used, :) zeros(numel(used), 1) sign(w) w];
refs = zeros(0, 3);
for c = 1:nch
  others = unique(owner(tra(c, used) ~= 0 & owner ~= c));
  for r = others(:)'
    mine = used(owner == r);
    coef = -tra(c, mine) ./ tra(r, mine);
    if any(abs(coef - coef(1)) > 1e-12 * abs(coef(1))) || kind(r) < 10 || kind(r) > 13
      error('megfwd:tra', ['grad.tra: channel ''%s'' weighs the coils of channel ''%s'' in a way that is ' ...
        'no reference weight (that channel must be a reference and its coils weighed in proportion)'], ...
        label{c}, label{r});
    end
    refs(end + 1, :) = [c r coef(1)]; %#ok<AGROW>
  end
end
megfwd_mex('write_sensors', file, strjoin(label(:)', char(10)), [kind ones(nch, 1) ones(nch, 1)], coils, refs);
end
