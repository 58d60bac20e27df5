"""Exported files read back by readers that share no code with the writers:
numpy, tifffile (with its ImageJ metadata) and Pillow, and GSF and TIFF
readers written here from the formats' published descriptions."""
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest
import tifffile
from PIL import Image

DRIVER = os.environ["PDX_EXPORT_DRIVER"]
EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
sys.path.insert(0, EXAMPLES)
import make_campaign  # noqa: E402

LOW, HIGH = (68, 1, 84, 255), (253, 231, 37, 255)  # the colour map's ends
CLEAR = (0, 0, 0, 0)
M = 2**31 - 1


def export(tmp_path, a, fmt, *options, origin=None):
    """Exports `a` (as a data matrix file, or a data file at camera `origin`)
    and returns the output's path; the driver's notes go to `export.notes`."""
    src = tmp_path / "in.bin"
    if origin is None:
        src.write_bytes(struct.pack("<HH", a.shape[1], a.shape[0]) + a.astype("<i4").tobytes())
    else:
        src.write_bytes(make_campaign.data_file(a, *origin))
        options += ("--data",)
    out = tmp_path / ("out." + fmt)
    done = subprocess.run([DRIVER, fmt, src, out, "-f", *map(str, options)], check=True,
                          stdout=subprocess.PIPE, text=True)
    export.notes = dict(kv.split("=") for kv in done.stdout.split())
    return out


def read_gsf(path):
    b = path.read_bytes()
    end = b.index(b"\0")
    lines = b[:end].decode("utf-8").split("\n")
    assert lines[0] == "Gwyddion Simple Field 1.0" and lines[-1] == ""
    meta = dict(line.split(" = ", 1) for line in lines[1:-1])
    start = end // 4 * 4 + 4  # 1 to 4 NULs bring the header to a multiple of 4
    assert set(b[end:start]) == {0}
    return meta, np.frombuffer(b, "<f4", offset=start).reshape(int(meta["YRes"]), int(meta["XRes"]))


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
    meta, data = read_gsf(export(tmp_path, a, "gsf", "--valid", "-10000:20000", "--title", "map\n1.dat"))
    assert meta == {"XRes": "20", "YRes": "6", "XReal": "20", "YReal": "6", "XOffset": "0",
                    "YOffset": "0", "XYUnits": "pixel", "ZUnits": "count", "Title": "map?1.dat"}
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


@pytest.mark.parametrize("title", ["a", "ab", "abc", "abcd"])
def test_tiff_parts_apart_and_aligned(tmp_path, title):
    # Texts of each length modulo 4 before the strip tables: no two parts
    # of the file overlap, numeric values lie on word boundaries, and the
    # texts read whole.
    b = export(tmp_path, ramp(300, 256), "tiff", "--title", title).read_bytes()
    ifd = struct.unpack_from("<I", b, 4)[0]
    n = struct.unpack_from("<H", b, ifd)[0]
    tags = {e[0]: e[1:] for e in (struct.unpack_from("<HHII", b, ifd + 2 + 12 * i) for i in range(n))}
    strips = tags[273][1]
    assert (tags[278][2], strips) == (256, 2)  # 1024-byte rows: 256 KiB a strip
    data = struct.unpack_from("<%dI" % strips, b, tags[273][2])
    parts = [(0, 8), (ifd, ifd + 6 + 12 * n), (tags[282][2], tags[282][2] + 8),
             (tags[283][2], tags[283][2] + 8), (tags[270][2], tags[270][2] + tags[270][1]),
             (tags[305][2], tags[305][2] + tags[305][1]), (tags[273][2], tags[273][2] + 4 * strips),
             (tags[279][2], tags[279][2] + 4 * strips), (data[0], len(b))]
    parts.sort()
    assert all(end <= start for (_, end), (start, _) in zip(parts, parts[1:])), parts
    assert all(tags[t][2] % 2 == 0 for t in (282, 283, 273, 279)) and data[0] % 16 == 0
    assert "\nsource=%s\n" % title in b[tags[270][2]:].split(b"\0")[0].decode()
    assert b[tags[305][2]:].split(b"\0")[0].decode().startswith("pdx_convert ")


@pytest.mark.parametrize("fmt", ["gsf", "tiff", "npy"])
def test_floats_past_the_first_buffer(tmp_path, fmt):
    # 262,145 samples: one past a 1 MiB conversion buffer; TIFF strips of
    # 121 rows, the fourth short. Invalid samples at both ends. The shape
    # comes from each file's own header.
    a = ramp(481, 545)
    out = export(tmp_path, a, fmt, "--valid", "-30000:200000000", "--npy-float")
    got = {"tiff": tifffile.imread, "npy": np.load, "gsf": lambda p: read_gsf(p)[1]}[fmt](out)
    if fmt == "tiff":
        with tifffile.TiffFile(out) as t:
            assert t.pages[0].tags["RowsPerStrip"].value == 121  # the fewest rows filling 256 KiB
    np.testing.assert_array_equal(got, as_floats(a, -30000, 200000000))


def png_chunks(b):
    assert b[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks = 8, []
    while at < len(b):
        n, kind = struct.unpack_from(">I4s", b, at)
        crc = struct.unpack_from(">I", b, at + 8 + n)[0]
        assert zlib.crc32(b[at + 4:at + 8 + n]) == crc, kind
        assert kind != b"IHDR" or n == 13
        assert kind != b"IEND" or n == 0
        chunks.append(kind)
        at += 12 + n
    return chunks


@pytest.mark.parametrize("options, size", [((), (300, 200)), (("--size", "100"), (100, 67)),
                                           (("--size", "0"), (300, 200))])
def test_png_size_colours_and_transparency(tmp_path, options, size):
    a = ramp(200, 300)
    a[:, :3] = -10**9  # invalid: three whole source columns
    im = Image.open(export(tmp_path, a, "png", "--valid", "-50000:", *options))
    assert im.size == size and im.mode == "RGBA"
    assert im.getpixel((0, 0)) == CLEAR and im.getpixel((0, size[1] - 1)) == CLEAR
    first = 3 * size[0] // 300  # the first valid column
    assert im.getpixel((first, 0)) == LOW and im.getpixel((size[0] - 1, size[1] - 1)) == HIGH


def test_png_many_chunks_and_contrast(tmp_path):
    # 1042 rows: the stream's last bytes, written at the end, cross a chunk's.
    a = np.random.default_rng(1).integers(-10**6, 10**6, (1042, 1536), dtype=np.int32)
    out = export(tmp_path, a, "png", "--size", "0")
    chunks = png_chunks(out.read_bytes())
    assert chunks[0] == b"IHDR" and chunks[-1] == b"IEND" and chunks.count(b"IDAT") > 1
    assert chunks.index(b"tEXt") < chunks.index(b"IDAT")
    px = np.asarray(Image.open(out))[..., :3]
    lo = np.percentile(a, 0.5, method="lower")
    hi = np.percentile(a, 99.5, method="higher")
    assert (px[a <= lo] == LOW[:3]).all() and (px[a >= hi] == HIGH[:3]).all()


def test_png_colour_map_is_viridis(tmp_path):
    colormaps = pytest.importorskip("matplotlib").colormaps
    # Ten samples at each end put the contrast range at 0..255: sample v
    # takes the map's entry v.
    a = np.concatenate([np.zeros(10), np.arange(256), np.full(10, 255)]).astype(np.int32)
    px = np.asarray(Image.open(export(tmp_path, a[None, :], "png")))[0, 10:266, :3]
    np.testing.assert_array_equal(px, np.round(colormaps["viridis"](np.arange(256))[:, :3] * 255))


def with_markers(h, w):
    a = ramp(h, w)
    a[1, 2], a[h - 1, 0], a[0, w - 1] = M, -2**31, 2**30
    return a


@pytest.mark.parametrize("options, origin, unit, zunit, px, py, z", [
    (("--pixel-size", "0.52um,0.55um", "--z-scale", "0.158nm", "--origin", "96,120"), (96, 120),
     "um", "nm", 0.52, 0.55, 0.158),
    (("--pixel-size", "2mm", "--title", "sc\u00e4n 7.dat"), (40, 3), "mm", "count", 2, 2, None),
    ((), (5, 9), "pixel", "count", 1, 1, None),
    # Resolutions whose rationals take all 32 bits of their terms.
    (("--pixel-size", "0.123456789mm"), (5, 9), "mm", "count", 0.123456789, 0.123456789, None),
])
def test_scale_origin_and_nodata_in_every_float_format(tmp_path, options, origin, unit, zunit,
                                                        px, py, z):
    a = with_markers(30, 40)
    # A data file's own origin serves where the options give none.
    given = options + ("--title", "scan 7.dat") if "--title" not in options else options
    heights = np.where(np.abs(a.astype(np.int64)) < 2**30,
                       (a * z if z else a).astype(np.float32), np.float32("nan"))
    meta, data = read_gsf(export(tmp_path, a, "gsf", *given, origin=origin))
    np.testing.assert_array_equal(data, heights)
    assert (meta["XYUnits"], meta["ZUnits"]) == (unit, zunit)
    assert [float(meta[k]) for k in ("XReal", "YReal", "XOffset", "YOffset")] == pytest.approx(
        [40 * px, 30 * py, origin[0] * px, origin[1] * py], rel=1e-14)

    np.testing.assert_array_equal(np.load(export(tmp_path, a, "npy", "--npy-float", *given,
                                                 origin=origin)), heights)
    with tifffile.TiffFile(export(tmp_path, a, "tiff", *given, origin=origin)) as t:
        np.testing.assert_array_equal(t.asarray(), heights)
        ij = t.imagej_metadata
        assert (ij["unit"], ij["vunit"], ij["xorigin"], ij["yorigin"]) == (
            unit, zunit, -origin[0], -origin[1])
        assert ij["source"] == ("sc?n 7.dat" if "--title" in options else "scan 7.dat")
        assert (ij["xoffset"], ij["yoffset"]) == pytest.approx((origin[0] * px, origin[1] * py))
        tags = t.pages[0].tags
        x, y = tags["XResolution"].value, tags["YResolution"].value
        assert len(x) == len(y) == 2  # one rational each
        assert (x[0] / x[1], y[0] / y[1]) == pytest.approx((1 / px, 1 / py), rel=1e-12)
        assert tags["ResolutionUnit"].value == 1 and 274 not in tags  # no Orientation: top left
        assert tags[42113].value == "nan" and tags["Software"].value.startswith("pdx_convert ")
        # Each tag with its type (LONG 4, SHORT 3, ASCII 2, RATIONAL 5); the
        # nodata text with its closing NUL.
        types = {tag.code: int(tag.dtype) for tag in tags.values()}
        assert types == {256: 4, 257: 4, 258: 3, 259: 3, 262: 3, 270: 2, 273: 4, 277: 3, 278: 4,
                         279: 4, 282: 5, 283: 5, 296: 3, 305: 2, 339: 3, 42113: 2}
        assert tags[42113].count == 4


@pytest.mark.parametrize("options, valid", [
    ((), lambda a: np.abs(a.astype(np.int64)) < 2**30),
    (("--valid", "-5:7"), lambda a: (a >= -5) & (a <= 7)),
    (("--nodata", M), lambda a: a != M),
    (("--valid", "0:", "--nodata", 7, "--nodata", M), lambda a: (a >= 0) & (a != 7) & (a != M)),
    (("--all",), lambda a: np.ones(a.shape, bool)),
])
def test_validity_rules(tmp_path, options, valid):
    a = np.array([[0, 7, -5, 8, -6, M, -2**31, 2**30, 2**30 - 1, -2**30, 1 - 2**30]], np.int32)
    _, data = read_gsf(export(tmp_path, a, "gsf", *options))
    np.testing.assert_array_equal(~np.isnan(data), valid(a))


def test_orientation_row_0_on_top(tmp_path):
    a = ramp(7, 11)  # increasing along each row, then down
    px = np.asarray(Image.open(export(tmp_path, a, "png")))
    assert (tuple(px[0, 0]), tuple(px[-1, -1])) == (LOW, HIGH)
    assert px[0, -1, 1] < px[1, 0, 1] and px[0, 1, 1] < px[0, 2, 1]  # green rises with the value
    np.testing.assert_array_equal(tifffile.imread(export(tmp_path, a, "tiff")), a)
    np.testing.assert_array_equal(read_gsf(export(tmp_path, a, "gsf"))[1], a)


def test_png_text_enlargement_and_notes(tmp_path):
    a = with_markers(4, 10)
    valid = np.abs(a.astype(np.int64)) < 2**30
    lo = int(np.percentile(a[valid], 0.5, method="lower"))
    hi = int(np.percentile(a[valid], 99.5, method="higher"))
    for options, size, text in [
        ((), (10, 4), {"Colour range": "%d count to %d count" % (lo, hi), "Description":
                       "Phase map preview, row 0 at the top. Colours: viridis, from dark purple at "
                       "%d count to yellow at %d count (the 0.5th and 99.5th percentiles of the "
                       "valid samples). Transparent: no valid sample." % (lo, hi)}),
        (("--size", 25, "--enlarge", "--z-scale", "0.1234567nm", "--title", "\u043a\u0430\n1.dat"),
         (25, 10), {"Colour range": "%.6g nm to %.6g nm" % (lo * 0.1234567, hi * 0.1234567),
                    "Title": "\u043a\u0430?1.dat"}),
        (("--size", 25, "--software", "pdx 9 \u00e9"), (10, 4), {"Software": "pdx 9 ?"}),
    ]:
        im = Image.open(export(tmp_path, a, "png", *options))
        assert im.size == size and im.text["Colour map"] == "viridis"
        assert im.text["Software"].startswith("pdx") and im.text["Description"]
        assert {k: im.text[k] for k in text} == text
        assert ("Title" in im.text) == ("--title" in options)  # none without a title
        rows = (np.arange(size[1]) * 2 + 1) * 4 // (2 * size[1])  # the nearest source rows
        cols = (np.arange(size[0]) * 2 + 1) * 10 // (2 * size[0])
        np.testing.assert_array_equal(np.asarray(im)[..., 3] > 0, valid[np.ix_(rows, cols)])
        assert export.notes == {"nothing_valid": "0", "float_inexact": "0"}
    # One side as it was, the other longer (2 x 5 and 5 x 2 at 6): still each
    # pixel its nearest sample's colour, nothing blended.
    near = (np.arange(6) * 2 + 1) * 5 // 12
    for b, pick in [(ramp(5, 2), lambda p: p[near]), (ramp(2, 5), lambda p: p[:, near])]:
        same = np.asarray(Image.open(export(tmp_path, b, "png", "--size", 0)))
        im = np.asarray(Image.open(export(tmp_path, b, "png", "--size", 6, "--enlarge")))
        np.testing.assert_array_equal(im, pick(same))
    wide = np.array([[2**24 + 1, M]], np.int32)
    for fmt, options, notes in [("png", (), "10"), ("gsf", (), "10"), ("tiff", ("--all",), "01"),
                                ("npy", ("--npy-float", "--valid", "0:"), "01"), ("npy", (), "00")]:
        export(tmp_path, wide if "0:" in options or "--all" in options else wide[:, 1:], fmt, *options)
        assert export.notes["nothing_valid"] + export.notes["float_inexact"] == notes, fmt
    im = Image.open(tmp_path / "out.png")
    assert np.asarray(im)[..., 3].max() == 0  # all transparent
    assert im.text["Colour range"] == "none" and im.text["Description"] == (
        "Phase map preview, row 0 at the top. No sample is valid: every pixel is transparent.")
    out = export(tmp_path, a, "tiff", "--software", "pdx 9 \u00e9")
    with tifffile.TiffFile(out) as t:
        software = t.pages[0].tags["Software"]
        assert software.value == "pdx 9 ?" and software.count == 8
        assert out.read_bytes()[software.valueoffset + 7] == 0  # the closing NUL
    # A preview holds colours, not floats: no note of their precision.
    export(tmp_path, wide, "png", "--all")
    assert export.notes == {"nothing_valid": "0", "float_inexact": "0"}
    # Exact in 32-bit floats up to 2**24 either side; one past either end is not.
    for values, note in [([2**24, -2**24, -1, 0], "0"), ([2**24 + 1], "1"), ([-2**24 - 1], "1")]:
        export(tmp_path, np.array([values], np.int32), "gsf", "--all")
        assert export.notes["float_inexact"] == note, values


def test_campaign_previews_show_the_surface(tmp_path):
    subprocess.run([sys.executable, os.path.join(EXAMPLES, "make_campaign.py"), tmp_path,
                    "--count", "4", "--width", "200", "--height", "150"], check=True)
    for src in sorted(tmp_path.glob("*.dat")):
        out = tmp_path / (src.stem + ".png")
        subprocess.run([DRIVER, "png", src, out, "--data"], check=True, stdout=subprocess.PIPE)
        px = np.asarray(Image.open(out))
        raw = np.frombuffer(src.read_bytes(), ">i4", offset=4096).reshape(150, 200)
        np.testing.assert_array_equal(px[..., 3] == 0, raw == M)  # holes and edges transparent
        assert len(np.unique(px[px[..., 3] > 0], axis=0)) > 200  # a surface, not three colours


def test_png_colour_range_over_many_bins(tmp_path):
    # Samples spread over many 65536-wide bins, met in no order: the range
    # is still the 0.5th and 99.5th percentiles.
    a = np.random.default_rng(7).integers(-2**24, 2**24, (40, 50), dtype=np.int32)
    lo = int(np.percentile(a, 0.5, method="lower"))
    hi = int(np.percentile(a, 99.5, method="higher"))
    im = Image.open(export(tmp_path, a, "png", "--all"))
    assert im.text["Colour range"] == "%d count to %d count" % (lo, hi)
