function pdx_write_matrix(path, m, byteorder)
%PDX_WRITE_MATRIX Write a matrix as a data matrix file.
%   PDX_WRITE_MATRIX(PATH, M) writes the 2-D matrix M to PATH as a
%   little-endian data matrix file: the width (columns of M) and height
%   (rows of M) as unsigned 16-bit numbers, then the samples row by row as
%   signed 32-bit numbers, the same bytes pdx_convert writes for that map.
%
%   PDX_WRITE_MATRIX(PATH, M, 'ieee-be') writes it big-endian, as
%   pdx_convert -b does. 'ieee-le', the default, may also be given.
%
%   M may be of any numeric class, but every element must be a whole
%   number from -2147483648 to 2147483647, and M may have at most 32767
%   rows and columns.
%
%   The file appears whole or not at all: the samples go to a temporary
%   file beside PATH, which then replaces PATH. On any failure PATH is
%   left as it was and the temporary file is removed.
%
%   Errors, each with an identifier for try/catch:
%     pdx:badArgument    PATH is not text, the byte order is unknown, or M
%                        is not a 2-D matrix of whole numbers in range
%     pdx:cantOpen       no file can be created beside PATH
%     pdx:cantWrite      writing or replacing PATH failed
%
%   Example:
%     phase = pdx_read_matrix('sample.bin');
%     pdx_write_matrix('flipped.bin', fliplr(phase));
%
%   See also PDX_READ_MATRIX.

  if nargin < 2 || nargin > 3
    error('pdx:badArgument', 'usage: pdx_write_matrix(path, m [, byteorder])');
  end
  if nargin < 3
    byteorder = 'ieee-le';
  end
  if isstring(path) && isscalar(path)
    path = char(path);
  end
  if ~ischar(path) || isempty(path) || size(path, 1) ~= 1
    error('pdx:badArgument', 'the path must be a non-empty character vector');
  end
  if ~ischar(byteorder) || ~any(strcmpi(byteorder, {'ieee-le', 'ieee-be'}))
    error('pdx:badArgument', 'the byte order must be ''ieee-le'' or ''ieee-be''');
  end
  if ~(isnumeric(m) || islogical(m)) || ~isreal(m) || ndims(m) ~= 2
    error('pdx:badArgument', 'the samples must be a real 2-D numeric matrix');
  end
  [h, w] = size(m);
  if h > 32767 || w > 32767
    error('pdx:badArgument', 'the matrix is %d x %d; at most 32767 x 32767', h, w);
  end
  if ~isa(m, 'int32')
    v = double(m(:));
    if ~isinteger(m) && any(v ~= round(v))
      error('pdx:badArgument', 'the samples must be whole numbers');
    end
    % int64 and uint64 beyond 2^53 lose precision in double, but never so
    % much that a value outside int32 appears to lie within it.
    if any(v < -2147483648 | v > 2147483647)
      error('pdx:badArgument', 'a sample lies outside the signed 32-bit range');
    end
    m = int32(m);
  end

  % The temporary file goes beside PATH (same directory, same file system),
  % under a fresh name.
  [~, unique] = fileparts(tempname());
  tmp = [path, '.', unique, '.tmp'];
  [f, msg] = fopen(tmp, 'w', lower(byteorder));
  if f < 0
    error('pdx:cantOpen', 'pdx_write_matrix: cannot create a file beside "%s": %s', ...
          path, msg);
  end
  ok = fwrite(f, [w, h], 'uint16') == 2;
  if ok
    ok = fwrite(f, m.', 'int32') == w * h;
  end
  ok = fclose(f) == 0 && ok;
  if ok
    ok = pdx_replace(tmp, path);
  end
  if ~ok
    if exist(tmp, 'file')
      delete(tmp);
    end
    error('pdx:cantWrite', 'pdx_write_matrix: writing "%s" failed', path);
  end
end

% Renames tmp over path; true on success.
function ok = pdx_replace(tmp, path)
  if exist('OCTAVE_VERSION', 'builtin')
    ok = rename(tmp, path) == 0;
  else
    ok = movefile(tmp, path, 'f');
  end
end
