"""Exported files read back by readers that share no code with the writers:
numpy, tifffile and Pillow, and GSF and TIFF readers written here from the
formats' published descriptions."""
import os
import struct
import subprocess
import zlib

import numpy as np
import pytest
import tifffile
from PIL import Image

DRIVER = os.environ["PDX_EXPORT_DRIVER"]
LOW, HIGH = (68, 1, 84), (253, 231, 37)  # the colour map's ends
GREY = (128, 128, 128)


def export(tmp_path, a, fmt, *options):
    src = tmp_path / "in.bin"
    src.write_bytes(struct.pack("<HH", a.shape[1], a.shape[0]) + a.astype("<i4").tobytes())
    out = tmp_path / ("out." + fmt)
    subprocess.run([DRIVER, fmt, src, out, "-f", *options], check=True)
    return out


def ramp(h, w):
    return (np.arange(h * w, dtype=np.int64).reshape(h, w) * 1000 - 40000).astype(np.int32)


def as_floats(a, lo, hi):
    return np.where((a >= lo) & (a <= hi), a.astype(np.float32), np.float32("nan"))


def test_npy_loads_exactly(tmp_path):
    a = ramp(20, 7)
    a[0, 0], a[19, 6] = -2**31, 2**31 - 1
    out = export(tmp_path, a, "npy", "--valid", "0:")
    b = out.read_bytes()
    assert b[:8] == b"\x93NUMPY\x01\x00" and (10 + struct.unpack_from("<H", b, 8)[0]) % 64 == 0
    loaded = np.load(out)
    assert loaded.dtype == np.int32 and loaded.shape == (20, 7)
    np.testing.assert_array_equal(loaded, a)


def test_gsf_reads_back(tmp_path):
    a = ramp(6, 20)
    b = export(tmp_path, a, "gsf", "--valid", "-10000:20000", "--title", "map\n1.dat").read_bytes()
    end = b.index(b"\0")
    lines = b[:end].decode("utf-8").split("\n")
    assert lines[0] == "Gwyddion Simple Field 1.0" and lines[-1] == ""
    meta = dict(line.split(" = ", 1) for line in lines[1:-1])
    assert meta == {"XRes": "20", "YRes": "6", "Title": "map?1.dat"}  # no units
    start = end // 4 * 4 + 4  # 1 to 4 NULs bring the header to a multiple of 4
    assert set(b[end:start]) == {0}
    data = np.frombuffer(b, "<f4", offset=start).reshape(6, 20)
    np.testing.assert_array_equal(data, as_floats(a, -10000, 20000))


def test_tiff_tags_and_samples(tmp_path):
    a = ramp(300, 400)  # 1600-byte rows: two strips
    out = export(tmp_path, a, "tiff", "--valid", ":30000000")
    b = out.read_bytes()
    assert b[:4] == b"II*\0"
    ifd = struct.unpack_from("<I", b, 4)[0]
    entries = [struct.unpack_from("<HHII", b, ifd + 2 + 12 * i)
               for i in range(struct.unpack_from("<H", b, ifd)[0])]
    tags = {tag: (typ, count, value) for tag, typ, count, value in entries}
    assert [e[0] for e in entries] == sorted(tags)
    assert struct.unpack_from("<I", b, ifd + 2 + 12 * len(entries))[0] == 0  # the only IFD
    # Width, height, BitsPerSample, Compression, MinIsBlack, SamplesPerPixel, SampleFormat.
    for tag, want in {256: 400, 257: 300, 258: 32, 259: 1, 262: 1, 277: 1, 339: 3}.items():
        assert tags[tag][1:] == (1, want), tag
    rows, strips = tags[278][2], tags[273][1]
    assert 1 < rows < 300 and strips == -(-300 // rows) == tags[279][1]
    offsets = struct.unpack_from("<%dI" % strips, b, tags[273][2])
    counts = struct.unpack_from("<%dI" % strips, b, tags[279][2])
    assert sum(counts) == 300 * 400 * 4
    data = b"".join(b[o:o + n] for o, n in zip(offsets, counts))
    want = as_floats(a, -2**31, 30000000)
    np.testing.assert_array_equal(np.frombuffer(data, "<f4").reshape(300, 400), want)
    with tifffile.TiffFile(out) as t:
        assert t.pages[0].dtype == np.float32
        np.testing.assert_array_equal(t.asarray(), want)


@pytest.mark.parametrize("fmt", ["gsf", "tiff"])
def test_floats_past_the_first_buffer(tmp_path, fmt):
    # 262,145 samples: one past a 1 MiB conversion buffer; TIFF strips of
    # 121 rows, the fourth short. Invalid samples at both ends.
    a = ramp(481, 545)
    out = export(tmp_path, a, fmt, "--valid", "-30000:200000000")
    if fmt == "tiff":
        got = tifffile.imread(out)
    else:
        b = out.read_bytes()
        got = np.frombuffer(b, "<f4", offset=b.index(b"\0") // 4 * 4 + 4).reshape(a.shape)
    np.testing.assert_array_equal(got, as_floats(a, -30000, 200000000))


def png_chunks(b):
    assert b[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks = 8, []
    while at < len(b):
        n, kind = struct.unpack_from(">I4s", b, at)
        crc = struct.unpack_from(">I", b, at + 8 + n)[0]
        assert zlib.crc32(b[at + 4:at + 8 + n]) == crc, kind
        chunks.append(kind)
        at += 12 + n
    return chunks


@pytest.mark.parametrize("options, size", [((), (300, 200)), (("--size", "100"), (100, 67)),
                                           (("--size", "0"), (300, 200))])
def test_png_size_colours_and_grey(tmp_path, options, size):
    a = ramp(200, 300)
    a[:, :3] = -10**9  # invalid: three whole source columns
    im = Image.open(export(tmp_path, a, "png", "--valid", "-50000:", *options))
    assert im.size == size and im.mode == "RGB"
    assert im.getpixel((0, 0)) == GREY and im.getpixel((0, size[1] - 1)) == GREY
    first = 3 * size[0] // 300  # the first valid column
    assert im.getpixel((first, 0)) == LOW and im.getpixel((size[0] - 1, size[1] - 1)) == HIGH


def test_png_many_chunks_and_contrast(tmp_path):
    a = np.random.default_rng(1).integers(-10**6, 10**6, (1024, 1536), dtype=np.int32)
    out = export(tmp_path, a, "png", "--size", "0")
    chunks = png_chunks(out.read_bytes())
    assert chunks[0] == b"IHDR" and chunks[-1] == b"IEND" and chunks.count(b"IDAT") > 1
    px = np.asarray(Image.open(out))
    lo = np.percentile(a, 0.5, method="lower")
    hi = np.percentile(a, 99.5, method="higher")
    assert (px[a <= lo] == LOW).all() and (px[a >= hi] == HIGH).all()


def test_png_colour_map_is_viridis(tmp_path):
    colormaps = pytest.importorskip("matplotlib").colormaps
    # Ten samples at each end put the contrast range at 0..255: sample v
    # takes the map's entry v.
    a = np.concatenate([np.zeros(10), np.arange(256), np.full(10, 255)]).astype(np.int32)
    px = np.asarray(Image.open(export(tmp_path, a[None, :], "png")))[0, 10:266]
    np.testing.assert_array_equal(px, np.round(colormaps["viridis"](np.arange(256))[:, :3] * 255))
