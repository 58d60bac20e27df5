"""The pdx module as a user meets it: the bundled example against the
command's output, round trips, failures, odd paths, buffer ownership and
reads that let other threads run.

Run by CTest with PYTHONPATH at the built module, PDX_CONVERT naming the
command and PDX_EXAMPLE the bundled example data file."""

import errno
import faulthandler
import os
import pathlib
import pickle
import re
import resource
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import pdx

EXAMPLE = os.environ["PDX_EXAMPLE"]


def data_file(header_length=834, intensity=None, phase=None, fields=()):
    """A binary data file: `intensity` (n, h, w) and `phase` (h, w) arrays,
    `fields` (offset, struct format, value) big-endian header stores."""
    magic = 0x881B0371 if header_length == 4096 else 0x881B036F
    header = bytearray(header_length)
    struct.pack_into(">I", header, 0, magic)
    blocks = b""
    if intensity is not None:
        n, h, w = intensity.shape
        struct.pack_into(">hhhhhHi", header, 48, 0, 0, w, h, n, 0, intensity.nbytes)
        blocks += intensity.astype(">u2").tobytes()
    if phase is not None:
        h, w = phase.shape
        struct.pack_into(">hhhhi", header, 64, 0, 0, w, h, phase.nbytes)
        blocks += phase.astype(">i4").tobytes()
    for offset, fmt, value in fields:
        struct.pack_into(">" + fmt, header, offset, value)
    return bytes(header) + blocks


def convert(tmp_path, *options):
    out = tmp_path / ("out%s.mat" % "".join(options))
    subprocess.run([os.environ["PDX_CONVERT"], "-f", *options, EXAMPLE, str(out)], check=True,
                   stderr=subprocess.DEVNULL)
    return out


def test_example_matches_the_command(tmp_path):
    exec("from pdx import *", {})  # every name of __all__ is there
    f = pdx.read_data_file(EXAMPLE)
    raw = np.fromfile(convert(tmp_path), dtype="<i4", offset=4).reshape(48, 64)
    assert f.phase.dtype == np.int32 and f.phase.flags.c_contiguous
    assert f.phase.shape == (48, 64) and f.intensity.shape == (2, 48, 64)
    assert f.intensity.dtype == np.uint16
    np.testing.assert_array_equal(f.phase, raw)
    assert f.phase_origin == (96, 120) and f.intensity_origin == (96, 120)
    assert f.header_length == 4096 and f.header[898] == 3
    np.testing.assert_array_equal(pdx.read_matrix_file(convert(tmp_path)), raw)
    np.testing.assert_array_equal(pdx.read_matrix_file(convert(tmp_path, "-b"), big_endian=True),
                                  raw)


def test_header_blocks_and_skipping(tmp_path):
    intensity = np.arange(2 * 3 * 4, dtype=np.uint16).reshape(2, 3, 4) * 1000
    phase = (np.arange(12, dtype=np.int32).reshape(3, 4) - 6) * 100000
    path = tmp_path / "short.dat"
    path.write_bytes(data_file(834, intensity, phase, fields=[
        (10, "H", 0xBEEF), (12, "4s", b"abcd"), (58, "H", 7), (76, "I", 0x01020304),
        (386, "I", 0xFFFFFFFE), (816, "H", 3)]))
    f = pdx.read_data_file(path)
    np.testing.assert_array_equal(f.intensity, intensity)
    np.testing.assert_array_equal(f.phase, phase)
    assert f.header_length == 834 and f.intensity_tag == 7
    assert f.header[10] == 0xBEEF and f.header[12] == b"abcd" + bytes(26)
    assert f.header[76] == 0x01020304 and f.header[386] == 0xFFFFFFFE
    assert f.header[816] == 3 and f.header[898] == 0 and f.header[838] == 0
    assert 0 not in f.header and 48 not in f.header and 72 not in f.header
    assert f.header.keys() == pdx.read_data_file(EXAMPLE).header.keys()
    info = pdx.read_data_file_info(path=path)
    assert (info.phase_shape, info.phase_origin, info.intensity_shape, info.intensity_origin,
            info.intensity_tag, info.header_length, info.header) == (
        (3, 4), f.phase_origin, (2, 3, 4), f.intensity_origin, 7, 834, f.header)
    assert repr(f) == "<pdx.DataFile header_length=834 phase=(3, 4) intensity=(2, 3, 4)>"
    assert repr(info) == "<pdx.DataFileInfo header_length=834 phase=(3, 4) intensity=(2, 3, 4)>"
    assert pdx.is_data_file(path=path)

    skipped = pdx.read_data_file(path=path, intensity=False)
    assert skipped.intensity.shape == (0, 0, 0)
    np.testing.assert_array_equal(skipped.phase, phase)
    assert pdx.read_data_file(path, phase=False).phase.shape == (0, 0)
    path.write_bytes(data_file(4096))
    empty = pdx.read_data_file(path)
    assert empty.phase.shape == (0, 0) and empty.intensity.shape == (0, 0, 0)


@pytest.mark.parametrize("big_endian", [False, True])
@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int32, np.int64, np.uint64])
def test_round_trip(tmp_path, dtype, big_endian):
    info = np.iinfo(dtype)
    values = np.array([[max(info.min, -2**31), 0, 1], [min(info.max, 2**31 - 1), 2, 3]])
    array = values.astype(dtype)[:, ::-1]  # not C-contiguous
    path = tmp_path / "m.mat"
    pdx.write_matrix_file(path=path, array=array, big_endian=big_endian)
    back = pdx.read_matrix_file(path=path, big_endian=big_endian)
    assert back.dtype == np.int32
    np.testing.assert_array_equal(back, array)


def test_command_output_written_back_unchanged(tmp_path):
    for options, big in [((), False), (("-b",), True)]:
        original = convert(tmp_path, *options)
        again = tmp_path / "again.mat"
        pdx.write_matrix_file(again, pdx.read_matrix_file(original, big_endian=big),
                              big_endian=big)
        assert again.read_bytes() == original.read_bytes()


@pytest.mark.parametrize("content, name", [
    (None, "ERR_CANT_OPEN_FILE"),
    (b"\x88\x1b", "ERR_PREMATURE_EOF"),
    (b"not a data file at all", "ERR_NOT_A_DATA_FILE"),
    (data_file(834, phase=np.ones((3, 4), np.int32))[:-1], "ERR_CORRUPT_DATA_FILE"),
    (data_file(834, fields=[(72, "i", 4), (70, "h", -1)]), "ERR_DATASET_DIM_TOO_LARGE"),
    (data_file(834, fields=[(72, "i", 4)]), "ERR_PARAM_OUT_OF_RANGE"),
    (data_file(834, fields=[(52, "h", 1), (54, "h", 1), (60, "i", 2)]), "ERR_PARAM_OUT_OF_RANGE"),
    (data_file(834, fields=[(52, "h", 32767), (54, "h", 32767), (56, "h", 5), (60, "i", 2)]),
     "ERR_PARAM_OUT_OF_RANGE"),  # more samples than a matrix holds
])
def test_data_file_errors(tmp_path, content, name):
    path = tmp_path / "bad.dat"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(pdx.Error) as caught:
        pdx.read_data_file(path)
    assert isinstance(caught.value, OSError)
    assert caught.value.name == name and caught.value.code > 0
    assert str(caught.value) == "reading %r failed: %s" % (str(path), name)
    assert caught.value.filename == path  # the name as given
    assert caught.value.errno == (errno.ENOENT if content is None else None)
    again = pickle.loads(pickle.dumps(caught.value))  # as from a worker process
    assert type(again) is pdx.Error and str(again) == str(caught.value)
    # The header alone is refused alike, unless the fault lies in a block.
    if name != "ERR_CORRUPT_DATA_FILE":
        with pytest.raises(pdx.Error, match="^%s$" % re.escape(str(caught.value))):
            pdx.read_data_file_info(path)


@pytest.mark.parametrize("content, name", [
    (None, "ERR_CANT_OPEN_FILE"),
    (b"\x02\x00\x01", "ERR_PREMATURE_EOF"),
    (b"\x00\x00\x00\x80", "ERR_PARAM_OUT_OF_RANGE"),
    (b"\x02\x00\x01\x00\x01\x00\x00\x00", "ERR_CORRUPT_DATA_FILE"),
])
def test_matrix_file_errors(tmp_path, content, name):
    path = tmp_path / "bad.mat"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(pdx.Error, match="^reading %s failed: %s$" % (re.escape(repr(str(path))), name)):
        pdx.read_matrix_file(path)
    with pytest.raises(pdx.Error, match="^writing '.*such.mat' failed: ERR_CANT_OPEN_FILE$") as caught:
        pdx.write_matrix_file(tmp_path / "no" / "such.mat", np.zeros((1, 1), np.int32))
    assert caught.value.errno is None  # ENOENT is for a missing input


@pytest.mark.parametrize("content, big_endian, shape", [
    (b"\x00\x00\x00\x00", False, (0, 0)),  # the command's, for a file without phase samples
    (b"\x03\x00\x00\x00", False, (0, 3)),
    (b"\x00\x00\x00\x05\xff", True, (5, 0)),
])
def test_empty_maps_read_as_empty_arrays(tmp_path, content, big_endian, shape):
    path = tmp_path / "empty.mat"
    path.write_bytes(content)
    back = pdx.read_matrix_file(path, big_endian=big_endian)
    assert back.shape == shape and back.dtype == np.int32
    pdx.write_matrix_file(path, back.astype(np.int64), big_endian=big_endian)
    assert path.read_bytes() == content[:4]


def test_odd_intensity_length_reads_the_same_phase(tmp_path):
    # Seven intensity bytes for a 2 x 2 frame: three samples, then a byte
    # that is no sample.
    phase = np.array([[1, -2], [0x12345678, -0x7654321]], np.int32)
    whole = data_file(834, phase=phase)
    header = bytearray(whole[:834])
    struct.pack_into(">hhhhhHi", header, 48, 0, 0, 2, 2, 1, 0, 7)
    path = tmp_path / "odd.dat"
    path.write_bytes(bytes(header) + bytes(range(1, 8)) + whole[834:])
    out = tmp_path / "odd.mat"
    subprocess.run([os.environ["PDX_CONVERT"], path, out], check=True, stderr=subprocess.DEVNULL)
    f = pdx.read_data_file(path)
    np.testing.assert_array_equal(f.intensity.ravel(), [0x0102, 0x0304, 0x0506, 0])
    for phase_read in (f.phase, pdx.read_data_file(path, intensity=False).phase,
                       pdx.read_matrix_file(out)):
        np.testing.assert_array_equal(phase_read, phase)


def test_small_file_announcing_huge_frames_stays_small_in_memory(tmp_path):
    # 836 bytes announcing one 32767 x 32767 frame (2 GiB): the samples the
    # file does not hold read as zero without being written.
    header = bytearray(data_file(834))
    struct.pack_into(">hhhhhHi", header, 48, 0, 0, 32767, 32767, 1, 0, 2)
    path = tmp_path / "huge_frames.dat"
    path.write_bytes(bytes(header) + b"\x12\x34")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    f = pdx.read_data_file(path)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
    assert f.intensity.shape == (1, 32767, 32767) and f.intensity[0, 0, 0] == 0x1234
    # AddressSanitizer's own records of a block grow with its size.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert grown_kib < 100 * 1024
        # Where 2 GiB cannot be had: pdx.Error with the errno of no memory.
        child = ("import errno, resource, sys, pdx\n"
                 "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
                 "try: pdx.read_data_file(sys.argv[1])\n"
                 "except pdx.Error as e: print(e, e.errno == errno.ENOMEM)")
        assert subprocess.run([sys.executable, "-c", child, path], capture_output=True, text=True,
                              check=True).stdout == "reading %r failed: ERR_NO_MEM True\n" % str(path)


OUTSIDE = "^a sample lies outside the signed 32-bit range$"
TOO_LARGE = "^at most 32767 rows and 32767 columns fit a data matrix file$"


@pytest.mark.parametrize("array, error, message", [
    (np.zeros((2, 2)), TypeError, "^the samples must be an integer array, not float64$"),
    (np.zeros((2, 2), bool), TypeError, "not bool$"),
    ([["a"]], TypeError, "not <U1$"),
    (np.zeros((2, 2, 2), np.int32), ValueError, "^the samples must be a 2-D array, not 3-D$"),
    (np.array([[2**31]]), OverflowError, OUTSIDE),
    (np.array([[-2**31 - 1]]), OverflowError, OUTSIDE),
    (np.array([[2**64 - 1]], np.uint64), OverflowError, OUTSIDE),
    (np.array([[2**32 - 1]], np.uint32), OverflowError, OUTSIDE),
    (np.zeros((1, 32768), np.int8), OverflowError, TOO_LARGE),
    (np.zeros((32768, 1), np.int8), OverflowError, TOO_LARGE),
])
def test_refused_arrays_leave_the_file_alone(tmp_path, array, error, message):
    path = tmp_path / "keep.mat"
    path.write_bytes(b"precious")
    with pytest.raises(error, match=message):
        pdx.write_matrix_file(path, array)
    assert path.read_bytes() == b"precious"


@pytest.mark.parametrize("shape", [(32767, 1), (1, 32767)])
def test_largest_matrices_written(tmp_path, shape):
    pdx.write_matrix_file(tmp_path / "m.mat", np.ones(shape, np.int8))
    assert pdx.read_matrix_file(tmp_path / "m.mat").shape == shape


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
def test_path_kinds_and_non_ascii_names(tmp_path, kind):
    path = tmp_path / "Phase \u0394\u03c6 \u6e2c\u5b9a.mat"
    array = np.arange(6, dtype=np.int32).reshape(2, 3)
    pdx.write_matrix_file(kind(str(path)), array)
    np.testing.assert_array_equal(pdx.read_matrix_file(kind(str(path))), array)
    with pytest.raises(TypeError):
        pdx.read_matrix_file(42)
    cut = tmp_path / "cut.mat"  # not the name before the null byte
    with pytest.raises(ValueError, match="^embedded null byte in path$"):
        pdx.write_matrix_file(kind(str(cut) + "\0.mat"), array)
    assert not cut.exists()


def test_marked_relative_name_is_narrow(tmp_path, monkeypatch):
    # A relative name starting with the bytes of a wide-path mark.
    monkeypatch.chdir(tmp_path)
    name = b"\xff\xfe.mat"
    pdx.write_matrix_file(name, np.ones((1, 1), np.int32))
    assert os.path.exists(name)


def test_temporary_left_in_an_append_only_directory_is_named(tmp_path):
    folder = tmp_path / "d"
    folder.mkdir()
    if subprocess.run(["chattr", "+a", str(folder)], stderr=subprocess.DEVNULL).returncode:
        pytest.skip("no append-only directories here")
    try:
        # Replacing renames the temporary, which such a directory refuses.
        with pytest.warns(RuntimeWarning, match=r"the temporary file .*\.tmp\" could not") as caught, \
                pytest.raises(pdx.Error, match="ERR_CANT_WRITE_FILE"):
            pdx.write_matrix_file(folder / "o.mat", np.ones((1, 1), np.int32))
        assert caught[0].filename == __file__  # the caller's line
    finally:
        subprocess.run(["chattr", "-a", str(folder)], check=True)


def test_buffers_go_back_to_the_library(tmp_path):
    live = pdx._testing.live_blocks
    start = live()
    f = pdx.read_data_file(EXAMPLE)
    phase = f.phase
    assert live() == start + 2
    del f
    assert live() == start + 1 and int(phase[0, 0]) == 10608
    del phase
    assert live() == start

    # The intensity frames are read, then the phase block comes up short.
    damaged = tmp_path / "damaged.dat"
    damaged.write_bytes(data_file(834, np.ones((1, 8, 8), np.uint16),
                                  np.ones((8, 8), np.int32))[:-4])
    for _ in range(200):
        with pytest.raises(pdx.Error, match="ERR_CORRUPT_DATA_FILE"):
            pdx.read_data_file(damaged)
    assert live() == start


@pytest.mark.parametrize("read", [
    pdx.read_data_file, pdx.read_data_file_info, pdx.is_data_file,
    lambda path: pdx._core._read_layouts([path]).shape == (1,),
    lambda path: pdx._core._read_stack([path], True, (0, 0), np.empty((1, 0, 0), np.int32)) is None])
def test_reads_let_other_threads_run(tmp_path, read):
    # The read waits in the library for a writer to open the FIFO; holding
    # the interpreter lock there, it would keep this thread from doing so.
    fifo = tmp_path / "fifo.dat"
    os.mkfifo(fifo)
    results = []
    reader = threading.Thread(target=lambda: results.append(read(fifo)))
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        reader.start()
        with open(fifo, "wb") as writer:
            writer.write(data_file(834))
        reader.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert len(results) == 1 and results[0]


@pytest.mark.parametrize("rule", [
    {"rule": "none", "lo": None, "hi": None, "nodata": []},
    {"rule": "chosen", "lo": 2, "hi": 1, "nodata": []},
    {"rule": "chosen", "lo": None, "hi": None, "nodata": list(range(17))},
])
def test_scan_refuses_a_rule_it_cannot_hold(rule):
    with pytest.raises(ValueError, match=r"^_scan: rule is 'markers', 'all' or 'chosen' with "
                                         r"lo <= hi and at most 16 nodata values$"):
        pdx._core._scan([EXAMPLE], threads=1, **rule)
