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
%   file beside PATH (".<name>.<process id>.<n>.tmp"), which replaces PATH
%   only once its size shows that every byte reached it. On any failure
%   PATH is left as it was and the temporary file is removed. A file that
%   is replaced keeps its permission bits; when PATH is a symbolic link,
%   the file it leads to is replaced and the link stays. A device or a
%   FIFO (such as /dev/null) is written directly.
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

  target = pdx_link_target(path);
  old = pdx_old_file(target);
  byteorder = lower(byteorder);
  if strcmp(old.kind, 'other')
    % No temporary can stand in for a device or a FIFO.
    [f, msg] = fopen(target, 'w', byteorder);
    if f < 0
      error('pdx:cantOpen', 'pdx_write_matrix: cannot open "%s": %s', path, msg);
    end
    ok = pdx_write_samples(f, m, w, h);
    if fclose(f) ~= 0 || ~ok
      error('pdx:cantWrite', 'pdx_write_matrix: writing "%s" failed', path);
    end
    return;
  end

  % The temporary file goes beside the file it replaces (same directory,
  % same file system).
  tmp = pdx_temp_name(target);
  [f, msg] = pdx_create(tmp, old, byteorder);
  if f < 0
    error('pdx:cantOpen', 'pdx_write_matrix: cannot create a file beside "%s": %s', ...
          path, msg);
  end
  cleanup = onCleanup(@() pdx_remove(tmp));
  ok = pdx_write_samples(f, m, w, h);
  ok = fclose(f) == 0 && ok;
  % fwrite and fclose do not always report a write that the file system
  % refused (a full disk): the file's size tells.
  ok = ok && pdx_file_size(tmp) == 4 + 4 * w * h;
  ok = ok && pdx_finish_mode(tmp, old) && pdx_replace(tmp, target);
  if ~ok
    error('pdx:cantWrite', 'pdx_write_matrix: writing "%s" failed', path);
  end
end

function ok = pdx_write_samples(f, m, w, h)
  ok = fwrite(f, [w, h], 'uint16') == 2;
  if ok
    ok = fwrite(f, m.', 'int32') == w * h;
  end
end

function octave = pdx_is_octave()
  octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
end

% The file that PATH leads to through symbolic links (PATH itself when it
% is none), whether or not that file exists.
function target = pdx_link_target(path)
  target = path;
  if pdx_is_octave()
    for k = 1:40
      [info, err] = lstat(target);
      if err ~= 0 || ~S_ISLNK(info.mode)
        return;
      end
      [next, err, msg] = readlink(target);
      if err ~= 0
        error('pdx:cantOpen', 'pdx_write_matrix: cannot follow "%s": %s', target, msg);
      end
      if ~is_absolute_filename(next)
        next = fullfile(fileparts(target), next);
      end
      target = next;
    end
  elseif usejava('jvm')
    p = java.io.File(path).toPath();
    for k = 1:40
      if ~java.nio.file.Files.isSymbolicLink(p)
        target = char(p.toString());
        return;
      end
      p = p.resolveSibling(java.nio.file.Files.readSymbolicLink(p));
    end
  else
    return;
  end
  error('pdx:cantOpen', 'pdx_write_matrix: too many symbolic links from "%s"', path);
end

% What stands at TARGET: kind 'none', 'file' (a regular file, whose
% permissions are kept: mode in Octave, perms in MATLAB, neither on
% Windows) or 'other' (a device, a FIFO or a socket). A directory counts as
% 'none': replacing it fails.
function old = pdx_old_file(target)
  old = struct('kind', 'none', 'mode', [], 'perms', []);
  if pdx_is_octave()
    [info, err] = stat(target);
    if err ~= 0 || S_ISDIR(info.mode)
      return;
    elseif S_ISREG(info.mode)
      old.kind = 'file';
      if ~ispc()
        old.mode = bitand(info.mode, 4095);
      end
    else
      old.kind = 'other';
    end
  elseif usejava('jvm') && ~ispc()
    p = java.io.File(target).toPath();
    none = javaArray('java.nio.file.LinkOption', 0);
    if java.nio.file.Files.isRegularFile(p, none)
      old.kind = 'file';
      old.perms = java.nio.file.Files.getPosixFilePermissions(p, none);
    elseif java.nio.file.Files.exists(p, none) && ~java.nio.file.Files.isDirectory(p, none)
      old.kind = 'other';
    end
  end
end

% ".<name>.<process id>.<n>.tmp" beside TARGET, with at most 120 characters
% of its name, so that the temporary's name fits wherever TARGET's does.
function tmp = pdx_temp_name(target)
  persistent n
  if isempty(n)
    n = 0;
  end
  [folder, name, ext] = fileparts(target);
  base = [name, ext];
  if numel(base) > 120
    cut = 120;
    if pdx_is_octave()
      % Octave's characters are the name's bytes: no UTF-8 sequence is cut.
      while cut > 0 && bitand(double(base(cut + 1)), 192) == 128
        cut = cut - 1;
      end
    end
    base = base(1:cut);
  end
  if pdx_is_octave()
    pid = getpid();
  else
    pid = feature('getpid');
  end
  while true
    tmp = fullfile(folder, sprintf('.%s.%d.%d.tmp', base, pid, n));
    n = n + 1;
    if ~pdx_exists(tmp)
      return;
    end
  end
end

function yes = pdx_exists(name)
  if pdx_is_octave()
    [~, err] = lstat(name);
    yes = err == 0;
  else
    yes = exist(name, 'file') ~= 0;
  end
end

% Creates the temporary with no more permission than the file it replaces
% has: in Octave the process's file mask is narrowed for the creation; in
% MATLAB the permissions are set before any sample is written.
function [f, msg] = pdx_create(tmp, old, byteorder)
  if ~isempty(old.mode)
    % umask takes and gives the mask as the digits of its octal form.
    previous = umask(str2double(dec2base(511 - bitand(old.mode, 511), 8)));
    [f, msg] = fopen(tmp, 'w', byteorder);
    umask(previous);
    return;
  end
  [f, msg] = fopen(tmp, 'w', byteorder);
  if f >= 0 && ~isempty(old.perms)
    try
      java.nio.file.Files.setPosixFilePermissions(java.io.File(tmp).toPath(), old.perms);
    catch
      fclose(f);
      pdx_remove(tmp);
      f = -1;
      msg = 'its permissions cannot be set';
    end
  end
end

% In Octave, the permission bits that a new file cannot be created with
% (execute, set-id, sticky) are set last, with chmod.
function ok = pdx_finish_mode(tmp, old)
  ok = true;
  if ~isempty(old.mode) && bitand(old.mode, 4095 - 438) ~= 0
    quoted = ['''', strrep(tmp, '''', '''\'''''), ''''];
    [status, ~] = system(sprintf('chmod %o -- %s', old.mode, quoted));
    ok = status == 0;
  end
end

function n = pdx_file_size(name)
  n = -1;
  if pdx_is_octave()
    [info, err] = stat(name);
    if err == 0
      n = info.size;
    end
  elseif usejava('jvm')
    n = java.io.File(name).length();
  else
    d = dir(name);
    if numel(d) == 1
      n = d.bytes;
    end
  end
end

function pdx_remove(name)
  if pdx_is_octave()
    [~, ~] = unlink(name);
  elseif exist(name, 'file')
    delete(name);
  end
end

% Renames tmp over path; true on success.
function ok = pdx_replace(tmp, path)
  if pdx_is_octave()
    ok = rename(tmp, path) == 0;
  else
    ok = movefile(tmp, path, 'f');
  end
end
