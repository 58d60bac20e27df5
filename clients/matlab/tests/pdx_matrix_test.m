function pdx_matrix_test(le_path, be_path)
% Checks pdx_read_matrix and pdx_write_matrix against the bundled example as
% pdx_convert wrote it, little-endian (LE_PATH) and with -b (BE_PATH).
% Errors out on the first failure.

  work = tempname();
  mkdir(work);
  cleanup = onCleanup(@() remove_dir(work));

  % The example's phase map: a tilted bowl, 64 columns by 48 rows.
  [x, y] = meshgrid(0:63, 0:47);
  expected = int32(12 * ((x - 30).^2 + (y - 22).^2) + 40 * x - 25 * y - 6000);

  le = pdx_read_matrix(le_path);
  be = pdx_read_matrix(be_path, 'ieee-be');
  assert(isa(le, 'int32') && isequal(size(le), [48, 64]));
  assert(isequal(le, expected) && isequal(be, expected));

  % The writer gives the command's bytes in both orders.
  out = fullfile(work, 'out.mat');
  pdx_write_matrix(out, le);
  assert(isequal(bytes_of(out), bytes_of(le_path)));
  pdx_write_matrix(out, double(le), 'IEEE-BE');
  assert(isequal(bytes_of(out), bytes_of(be_path)));

  % Round trips, including the empty map and the extremes of the range.
  cases = {int32([]), zeros(0, 3), int16([-1 2; 3 -4]), ...
           [intmin('int32'), intmax('int32'); 0, 1]};
  for k = 1:numel(cases)
    for order = {'ieee-le', 'ieee-be'}
      pdx_write_matrix(out, cases{k}, order{1});
      back = pdx_read_matrix(out, order{1});
      assert(isa(back, 'int32') && isequal(size(back), size(cases{k})));
      assert(isequal(back, int32(cases{k})));
    end
  end
  assert(numel(dir(work)) == 3, 'a temporary file was left behind');

  % Damaged and missing files.
  write_bytes(out, uint8([2 0]));
  expect_error(@() pdx_read_matrix(out), 'pdx:prematureEof');
  write_bytes(out, uint8([2 0 1 0 1 0 0 0]));
  expect_error(@() pdx_read_matrix(out), 'pdx:corruptFile');
  write_bytes(out, uint8([0 128 1 0 1 0 0 0]));
  expect_error(@() pdx_read_matrix(out), 'pdx:outOfRange');
  expect_error(@() pdx_read_matrix(fullfile(work, 'missing.mat')), 'pdx:cantOpen');
  % A data file given in place of its conversion, in either byte order.
  for last = [111, 112, 113]
    write_bytes(out, uint8([136 27 3 last 0 0 0 0]));
    expect_error(@() pdx_read_matrix(out), 'pdx:dataFile');
    expect_error(@() pdx_read_matrix(out, 'ieee-be'), 'pdx:dataFile');
  end
  expect_error(@() pdx_read_matrix(out, 'vax'), 'pdx:badArgument');

  % Refused samples leave an existing file as it was.
  before = bytes_of(out);
  expect_error(@() pdx_write_matrix(out, [1.5 2]), 'pdx:badArgument');
  expect_error(@() pdx_write_matrix(out, 2^31), 'pdx:badArgument');
  expect_error(@() pdx_write_matrix(out, int64(-2^31) - 1), 'pdx:badArgument');
  expect_error(@() pdx_write_matrix(out, zeros(2, 2, 2)), 'pdx:badArgument');
  expect_error(@() pdx_write_matrix(out, [1i 2]), 'pdx:badArgument');
  assert(isequal(bytes_of(out), before));
  expect_error(@() pdx_write_matrix(fullfile(work, 'no', 'such.mat'), 1), 'pdx:cantOpen');
  replacement_checks(fullfile(work, 'replace'));
  full_disk_check(fullfile(work, 'small'));
  printf('pdx_matrix_test: all checks passed\n');
end

% A replacement keeps a symbolic link and the old permission bits, and names
% as long as the command writes work; a FIFO is written to; no temporary stays
% behind.
function replacement_checks(dir_name)
  mkdir(dir_name);
  target = fullfile(dir_name, 'target.mat');
  link = fullfile(dir_name, 'link.mat');
  pdx_write_matrix(target, 1);
  symlink('target.mat', link);
  pdx_write_matrix(link, [1 2]);
  assert(S_ISLNK(lstat(link).mode), 'the link was replaced');
  assert(isequal(pdx_read_matrix(target), int32([1 2])));
  for mode = [384, 416, 493]  % 0600, 0640, 0755
    system(sprintf('chmod %o %s', mode, target));
    pdx_write_matrix(target, mode);
    assert(bitand(stat(target).mode, 4095) == mode, 'mode %o became %o', mode, ...
           bitand(stat(target).mode, 4095));
  end
  long = fullfile(dir_name, repmat('n', 1, 255));
  pdx_write_matrix(long, 4);
  assert(isequal(pdx_read_matrix(long), int32(4)));
  % A FIFO (as a device) is written through, never replaced.
  fifo = fullfile(dir_name, 'fifo');
  mkfifo(fifo, 600);
  system(sprintf('timeout 20 cat %s > /dev/null 2>&1 &', fifo));
  pdx_write_matrix(fifo, 5);
  assert(S_ISFIFO(lstat(fifo).mode), 'the FIFO was replaced');
  assert(numel(dir(dir_name)) == 6, 'a temporary file was left behind');
end

% On a full disk (a small tmpfs, where this process may mount one) the write
% fails, the old file keeps its bytes and no temporary stays behind.
function full_disk_check(mount_point)
  mkdir(mount_point);
  [status, ~] = system(sprintf('mount -t tmpfs -o size=64k tmpfs %s 2>&1', mount_point));
  if status ~= 0
    printf('pdx_matrix_test: full disk check skipped (no tmpfs can be mounted)\n');
    return;
  end
  unmount = onCleanup(@() system(sprintf('umount %s', mount_point)));
  out = fullfile(mount_point, 'out.mat');
  pdx_write_matrix(out, [1 2; 3 4]);
  before = bytes_of(out);
  % 36 KiB stay free: the writes of the 40004 bytes below succeed, and only
  % the flush at the close finds the disk full.
  write_bytes(fullfile(mount_point, 'filler'), zeros(24576, 1, 'uint8'));
  expect_error(@() pdx_write_matrix(out, ones(100, 100)), 'pdx:cantWrite');
  assert(isequal(bytes_of(out), before), 'the old file was damaged');
  assert(numel(dir(mount_point)) == 4, 'a temporary file was left behind');
end

function remove_dir(work)
  confirm_recursive_rmdir(false, 'local');
  rmdir(work, 's');
end

function b = bytes_of(path)
  f = fopen(path, 'r');
  b = fread(f, Inf, 'uint8=>uint8');
  fclose(f);
end

function write_bytes(path, b)
  f = fopen(path, 'w');
  fwrite(f, b, 'uint8');
  fclose(f);
end

function expect_error(fn, id)
  try
    fn();
  catch err
    assert(strcmp(err.identifier, id), 'expected %s, got %s: %s', id, ...
           err.identifier, err.message);
    return;
  end
  error('expected error %s, got none', id);
end
