function a = read_arrays(file)
% READ_ARRAYS  The named arrays of a file written by arrays_file.py, as the
% fields of a struct, each with its dimensions.
f = fopen(file, 'r', 'ieee-le');
if f < 0
  error('test:arrays', 'cannot open %s', file);
end
a = struct();
while true
  n = fread(f, 1, 'double');
  if isempty(n)
    break;
  end
  name = char(fread(f, n, 'double')');
  dims = fread(f, fread(f, 1, 'double'), 'double')';
  a.(name) = reshape(fread(f, prod(dims), 'double'), [dims 1]);
end
fclose(f);
end
