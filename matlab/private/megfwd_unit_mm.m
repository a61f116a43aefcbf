function f = megfwd_unit_mm(unit, name)
%MEGFWD_UNIT_MM  Millimetres per unit of a geometry: 1000 for 'm', 10 for
%   'cm', 1 for 'mm'. `name` is the field named in the error.
if ~ischar(unit)
  error('megfwd:units', '%s must be ''m'', ''cm'' or ''mm'', not a %s', name, class(unit));
end
switch unit
  case 'm'
    f = 1000;
  case 'cm'
    f = 10;
  case 'mm'
    f = 1;
  otherwise
    error('megfwd:units', '%s is ''%s''; ''m'', ''cm'' or ''mm'' is needed', name, unit);
end
end
