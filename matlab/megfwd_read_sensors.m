function grad = megfwd_read_sensors(file)
%MEGFWD_READ_SENSORS  A megfwd sensor-array file as a FieldTrip-style grad.
%
%   grad = megfwd_read_sensors(file)
%
%   grad.label     channel names, in the file's order (column cell array)
%   grad.chantype  'megmag' (kind 100), 'meggrad' (101 to 103), 'refmag'
%                  (10), 'refgrad' (11 to 13), 'eeg' (200) or 'other'
%   grad.chanunit  'T' for MEG channels, 'unknown' for the others
%   grad.coilpos   the coils' centres, metres (one row per coil)
%   grad.coilori   the coils' normals as the file gives them
%   grad.tra       channels x coils: each coil's weight in its channel's
%                  row, and the file's reference weights applied as
%                  balancing (a channel minus weight times each reference
%                  channel's row)
%   grad.chanpos, grad.chanori  each channel's first coil (NaN for channels
%                  that are not MEG sensors)
%   grad.balance   .current = 'megfwd', .megfwd the balancing as a montage
%                  (labelold, labelnew, tra)
%   grad.unit      'm'
%
%   Coils become points at their centres, as FieldTrip's coils are: the
%   library's CTF sensor model integrates over a coil's disk (its radius),
%   the toolbox does not; the radius is dropped. Errors are 'megfwd:input'
%   with the file reader's one line naming the file and the place.
%
%   Example:
%     grad = megfwd_read_sensors('helmet.json');   % megfwd demo --write-sensors helmet.json
%
%   See also MEGFWD_WRITE_SENSORS, MEGFWD_LEADFIELD.
if ~ischar(file)
  error('megfwd:type', 'file must be a file name (text)');
end
[names, channels, coils, refs] = megfwd_mex('read_sensors', file);
label = strsplit(names, char(10))';
nch = numel(label);
kind = channels(:, 1);
grad.label = label;
grad.chantype = repmat({'other'}, nch, 1);
grad.chantype(kind == 100) = {'megmag'};
grad.chantype(kind >= 101 & kind <= 103) = {'meggrad'};
grad.chantype(kind == 10) = {'refmag'};
grad.chantype(kind >= 11 & kind <= 13) = {'refgrad'};
grad.chantype(kind == 200) = {'eeg'};
meg = (kind >= 100 & kind <= 103) | (kind >= 10 & kind <= 13);
grad.chanunit = repmat({'unknown'}, nch, 1);
grad.chanunit(meg) = {'T'};
ncoil = size(coils, 1);
owner = coils(:, 1);
grad.coilpos = coils(:, 2:4) / 1000;
grad.coilori = coils(:, 5:7);
raw = full(sparse(owner, (1:ncoil)', coils(:, 10), nch, ncoil));
% Balancing: a channel minus weight times each of its reference channels.
montage = eye(nch);
if ~isempty(refs)
  montage = montage - full(sparse(refs(:, 1), refs(:, 2), refs(:, 3), nch, nch));
end
grad.tra = montage * raw;
[first, at] = unique(owner, 'first');
grad.chanpos = nan(nch, 3);
grad.chanori = nan(nch, 3);
grad.chanpos(first, :) = grad.coilpos(at, :);
grad.chanori(first, :) = grad.coilori(at, :);
grad.balance.current = 'megfwd';
grad.balance.megfwd = struct('labelold', {label}, 'labelnew', {label}, 'tra', montage);
grad.unit = 'm';
end
