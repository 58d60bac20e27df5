function m = pdx_read_matrix(path, byteorder)
%PDX_READ_MATRIX Read a data matrix file written by pdx_convert.
%   M = PDX_READ_MATRIX(PATH) reads the little-endian data matrix file PATH
%   and returns its phase samples as an int32 matrix of HEIGHT rows and
%   WIDTH columns: M(r, c) is the sample at row r, column c of the map.
%
%   M = PDX_READ_MATRIX(PATH, 'ieee-be') reads a file written big-endian
%   (pdx_convert -b). 'ieee-le', the default, may also be given.
%
%   A file of zero width or height (pdx_convert's output for a data file
%   without phase samples) gives an empty int32 matrix of that size. Bytes
%   after the last sample are ignored.
%
%   Errors, each with an identifier for try/catch:
%     pdx:badArgument    PATH is not text, or the byte order is unknown
%     pdx:cantOpen       PATH cannot be opened for reading
%     pdx:prematureEof   the file ends before its two dimensions
%     pdx:outOfRange     a dimension is above 32767
%     pdx:corruptFile    the file holds fewer samples than its dimensions say
%     pdx:dataFile       PATH is a binary data file, not a data matrix file:
%                        convert it first (pdx_convert or pdx convert)
%
%   Example:
%     phase = pdx_read_matrix('sample.bin');
%     imagesc(double(phase)); axis image; colorbar
%
%   See also PDX_WRITE_MATRIX.

  if nargin < 1 || nargin > 2
    error('pdx:badArgument', 'usage: m = pdx_read_matrix(path [, byteorder])');
  end
  if nargin < 2
    byteorder = 'ieee-le';
  end
  path = pdx_check_path(path);
  byteorder = pdx_check_byteorder(byteorder);

  [f, msg] = fopen(path, 'r', byteorder);
  if f < 0
    error('pdx:cantOpen', 'pdx_read_matrix: cannot open "%s": %s', path, msg);
  end
  cleanup = onCleanup(@() fclose(f));

  dims = fread(f, 2, 'uint16=>double');
  if numel(dims) < 2
    error('pdx:prematureEof', ...
          'pdx_read_matrix: "%s" ends before its width and height', path);
  end
  w = dims(1);
  h = dims(2);
  % A data file's magic number reads as dimensions that no file of its size
  % holds (too large, or too many samples): name what the file is instead.
  data_file = pdx_is_data_file(dims, byteorder);
  if data_file && (w > 32767 || h > 32767 || ...
                   fseek(f, 4 + 4 * w * h - 1, 'bof') ~= 0 || isempty(fread(f, 1, 'uint8')))
    error('pdx:dataFile', ...
          ['pdx_read_matrix: "%s" looks like a binary data file, not a data ' ...
           'matrix file: convert it first (pdx_convert or pdx convert)'], path);
  end
  if data_file
    fseek(f, 4, 'bof');
  end
  if w > 32767 || h > 32767
    error('pdx:outOfRange', ...
          'pdx_read_matrix: "%s" gives %d x %d; a dimension is above 32767', ...
          path, w, h);
  end

  % fread fills columns first: the row-major samples read as WIDTH x HEIGHT,
  % transposed.
  [m, count] = fread(f, [w, h], 'int32=>int32');
  if count < w * h
    error('pdx:corruptFile', ...
          'pdx_read_matrix: "%s" holds %d of its %d x %d samples', ...
          path, count, w, h);
  end
  m = reshape(m, w, h).';
end

% Whether the dimensions just read are the first four bytes of a data file,
% 88 1B 03 followed by 6F, 70 or 71.
function yes = pdx_is_data_file(dims, byteorder)
  if strcmp(byteorder, 'ieee-le')
    b = [mod(dims(1), 256), floor(dims(1) / 256), mod(dims(2), 256), floor(dims(2) / 256)];
  else
    b = [floor(dims(1) / 256), mod(dims(1), 256), floor(dims(2) / 256), mod(dims(2), 256)];
  end
  yes = isequal(b(1:3), [136, 27, 3]) && any(b(4) == [111, 112, 113]);
end

function path = pdx_check_path(path)
  if isstring(path) && isscalar(path)
    path = char(path);
  end
  if ~ischar(path) || isempty(path) || size(path, 1) ~= 1
    error('pdx:badArgument', 'the path must be a non-empty character vector');
  end
end

function byteorder = pdx_check_byteorder(byteorder)
  if ~ischar(byteorder) || ~any(strcmpi(byteorder, {'ieee-le', 'ieee-be'}))
    error('pdx:badArgument', 'the byte order must be ''ieee-le'' or ''ieee-be''');
  end
  byteorder = lower(byteorder);
end
