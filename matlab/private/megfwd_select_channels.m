function sel = megfwd_select_channels(channel, label, grad)
%MEGFWD_SELECT_CHANNELS  The rows of cfg.grad that cfg.channel selects, in
%   the grad's order: 'MEG' and 'MEGREF' by grad.chantype, 'all', one label,
%   or a cell array of labels.
if iscellstr(channel)
  [found, sel] = ismember(channel(:), label);
  if ~all(found)
    missing = channel(~found);
    error('megfwd:channel', 'cfg.channel names ''%s'', which is not in cfg.grad.label', missing{1});
  end
  sel = sort(sel);
  return;
end
if ~ischar(channel)
  error('megfwd:channel', 'cfg.channel must be ''MEG'', ''MEGREF'', ''all'' or a cell array of labels');
end
switch upper(channel)
  case 'ALL'
    sel = (1:numel(label))';
    return;
  case 'MEG'
    types = {'megmag', 'megaxial', 'megplanar', 'meggrad'};
  case 'MEGREF'
    types = {'refmag', 'refgrad', 'refplanar'};
  otherwise
    sel = find(strcmp(label, channel));
    if isempty(sel)
      error('megfwd:channel', 'cfg.channel is ''%s'': neither ''MEG'', ''MEGREF'', ''all'' nor a label', channel);
    end
    return;
end
chantype = megfwd_need(grad, 'chantype', 'cfg.grad');
if ~iscellstr(chantype) || numel(chantype) ~= numel(label)
  error('megfwd:type', 'cfg.grad.chantype must be a cell array with one type per label');
end
sel = find(ismember(lower(chantype(:)), types));
if isempty(sel)
  error('megfwd:channel', 'cfg.channel ''%s'' selects no channel of cfg.grad (by cfg.grad.chantype)', channel);
end
end
