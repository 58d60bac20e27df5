"""pdx info and pdx export with invalid samples and a scale, read back by
independent readers: info --stats against numpy under each validity rule,
a calibration file applied and overridden, a damaged width shown as
stored, one asymmetric map with row 0 on top in PNG, TIFF, GSF and xarray,
and a campaign's previews showing their surfaces with transparent holes."""

import json
import os
import subprocess
import sys

import jsonschema
import numpy as np
import pytest
import tifffile
from PIL import Image

PDX = os.environ["PDX_EXE"]
SOURCE = os.environ["PDX_SOURCE_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "examples"))
from make_campaign import MARKER, data_file  # noqa: E402

with open(os.path.join(SOURCE, "docs", "pdx-info.schema.json")) as f:
    SCHEMA = jsonschema.Draft202012Validator(json.load(f))


def pdx(cwd, *args):
    return subprocess.run([PDX, *args], cwd=cwd, capture_output=True, text=True)


def info(cwd, *args):
    run = pdx(cwd, "info", "--json", "--stats", *args)
    records = [json.loads(line) for line in run.stdout.splitlines()]
    for r in records:
        SCHEMA.validate(r)
    return run, records


def marked():
    """Counts around 1000 with ten distinct invalid values, the most
    frequent the largest 32-bit value, and 7s that a nodata rule removes."""
    rng = np.random.default_rng(3)
    a = rng.integers(-2000, 4000, size=(30, 40)).astype(np.int64)
    a[rng.random(a.shape) < 0.2] = MARKER
    for i, v in enumerate([-2**31, 2**30, -2**30, 2**31 - 2, 2**30 + 5, 1 << 30 | 1 << 20,
                           -(2**30) - 9, 2**31 - 3, 2**30 + 99]):
        a.flat[50 + i * 13:50 + i * 13 + 9 - i] = v
    a[5, :6] = 7
    a[6, :3] = 20_000_000  # valid beyond 2**24 under the markers' rule
    return a.astype(np.int32)


RULES = [
    ([], lambda a: np.abs(a.astype(np.int64)) < 2**30),
    (["--valid", "-500:1500"], lambda a: (a >= -500) & (a <= 1500)),
    (["--nodata", "2147483647", "--nodata=7"], lambda a: (a != MARKER) & (a != 7)),
    (["--valid", ":1200", "--nodata", "7"], lambda a: (a <= 1200) & (a != 7)),
    (["--all"], lambda a: np.ones(a.shape, bool)),
    (["--valid", "5000:5001"], lambda a: (a >= 5000) & (a <= 5001)),  # none
]


@pytest.mark.parametrize("options,rule", RULES, ids=lambda o: " ".join(o) if
                         isinstance(o, list) else "")
def test_stats_against_numpy(tmp_path, options, rule):
    a = marked()
    (tmp_path / "m.dat").write_bytes(data_file(a))
    valid = rule(a)
    run, (r,) = info(tmp_path, *options, "m.dat")
    assert run.returncode == 0, run.stderr
    s, v = r["stats"], a[valid].astype(np.float64)
    assert (s["count"], s["valid"]) == (a.size, v.size)
    assert s["valid_percent"] == pytest.approx(100 * v.size / a.size)
    if v.size:
        assert (s["min"], s["max"]) == (v.min(), v.max())
        assert s["mean"] == pytest.approx(v.mean(), rel=1e-12)
        assert s["std"] == pytest.approx(v.std(), rel=1e-12)
    else:
        assert (s["min"], s["max"], s["mean"], s["std"]) == (None,) * 4
    assert s["float32_exact"] == bool((np.abs(v) <= 2**24).all())
    values, counts = np.unique(a[~valid], return_counts=True)
    order = sorted(zip(-counts, values))
    named, other = [(i["value"], i["count"]) for i in s["invalid"]], s["other_invalid"]
    # Past 256 distinct invalid values, the rarest named ones and the
    # number of the others are estimates; every count given stays exact.
    exact = len(order) <= 256
    assert all(dict(zip(values, counts))[v] == c for v, c in named)
    top = [(v, -c) for c, v in order[:8]]
    assert named == top if exact else (named[0], len(named)) == (top[0], 8)
    assert (other["values_exact"], other["samples"]) == (
        exact, a.size - v.size - sum(c for _, c in named))
    assert other["values"] == max(0, len(order) - 8) if exact else 248 <= other["values"] < len(order)
    text = pdx(tmp_path, "info", "--stats", *options, "m.dat").stdout.splitlines()
    assert text[5] == "  samples    1200, %d valid (%.2f%%)" % (v.size, 100 * v.size / a.size)
    if len(order) > 8:
        assert text[-1].endswith(" and %s%d other values (%d)" % (
            "" if exact else "at least ", other["values"], other["samples"]))


def test_calibration_applied_and_overridden(tmp_path):
    a = np.array([[7, 1, MARKER], [3, 5, 200]], dtype=np.int32)
    (tmp_path / "m.dat").write_bytes(data_file(a, 5, 6))
    (tmp_path / "lab.json").write_text(json.dumps({
        "pixel_size": {"x": 0.5, "unit": "um"}, "z_scale": {"value": 2, "unit": "nm"},
        "nodata": [7], "description": "Lab 3"}))
    # nodata replaces the markers' rule: the marker is a count here.
    _, (r,) = info(tmp_path, "--calibration", "lab.json", "m.dat")
    assert r["phase"]["extent"] == {"width": 1.5, "height": 1.0, "unit": "um"}
    valid = a[a != 7].astype(float)
    assert r["stats"]["valid"] == 5 and r["stats"]["max"] == MARKER
    assert r["stats"]["heights"] == pytest.approx(
        {"min": 2.0, "max": MARKER * 2.0, "mean": valid.mean() * 2, "std": valid.std() * 2,
         "unit": "nm"})
    # Each option replaces one member; the file's nodata stays.
    _, (r,) = info(tmp_path, "--calibration=lab.json", "--pixel-size", "1mm,2000um",
                   "--valid", ":100", "m.dat")
    assert r["phase"]["extent"] == {"width": 3, "height": 4, "unit": "mm"}
    assert (r["stats"]["valid"], r["stats"]["max"], r["stats"]["heights"]["max"]) == (3, 5, 10)
    text = pdx(tmp_path, "info", "--calibration", "lab.json", "m.dat").stdout.splitlines()
    assert text[3] == "  phase      3 x 2 at (5, 6), 1.5 x 1 \u00b5m"

    (tmp_path / "bad.json").write_text('{"pixel_size": {"x": 0.5,\n  "unit": "inch"}}')
    for command in ("info", "export --to png"):
        run = pdx(tmp_path, *command.split(), "--calibration", "bad.json", "m.dat")
        assert (run.returncode, run.stdout) == (1, "")
        assert run.stderr == ('pdx %s: calibration file "bad.json": pixel_size.unit (line 2, '
                              'column 11): not a length unit (m, mm, um, \u00b5m or nm)\n'
                              % command.split()[0])
    assert not (tmp_path / "m.png").exists()


def test_width_above_32767_shown_as_stored(tmp_path):
    b = bytearray(data_file(np.zeros((2, 3), np.int32)))
    b[68:70] = (40000).to_bytes(2, "big")
    (tmp_path / "w.dat").write_bytes(bytes(b))
    run, (r,) = info(tmp_path, "w.dat")
    assert (r["phase"]["width"], r["phase"]["damage"], r["reads"]) == (
        40000, "width above 32767", False)
    text = pdx(tmp_path, "info", "w.dat").stdout
    assert "  phase      40000 x 2 at (0, 0): width above 32767\n" in text


def read_gsf(path):
    b = open(path, "rb").read()
    end = b.index(b"\0")
    meta = dict(line.split(" = ") for line in b[:end].decode().splitlines()[1:])
    data = b[(end + 4) // 4 * 4:]
    return meta, np.frombuffer(data, "<f4").reshape(int(meta["YRes"]), int(meta["XRes"]))


def test_row_zero_on_top_everywhere(tmp_path):
    a = (np.arange(12).reshape(3, 4) * 100 + [[0, 0, 0, 900]] * 3).astype(np.int32)
    a[2, 0] = MARKER
    (tmp_path / "m.dat").write_bytes(data_file(a, 5, 6))
    want = np.where(a == MARKER, np.nan, a).astype(np.float32)
    for fmt in ("png", "tiff", "gsf"):
        run = pdx(tmp_path, "export", "--to", fmt, "--pixel-size", "2um", "m.dat")
        assert (run.returncode, run.stderr) == (0, "")
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "m.tif"), want)
    software = pdx(tmp_path, "--version").stdout.splitlines()[0]  # "pdx 1.0.0"
    with tifffile.TiffFile(tmp_path / "m.tif") as t:
        assert t.pages[0].tags["Software"].value == software
    assert Image.open(tmp_path / "m.png").text["Software"] == software
    meta, gsf = read_gsf(tmp_path / "m.gsf")
    np.testing.assert_array_equal(gsf, want)
    assert (meta["XOffset"], meta["YOffset"], meta["XYUnits"]) == ("10", "12", "um")
    png = np.asarray(Image.open(tmp_path / "m.png"))
    assert png.shape == (3, 4, 4) and png[2, 0, 3] == 0 and (png[:2, :, 3] == 255).all()
    lightness = png[..., :3].astype(int).sum(axis=2)  # viridis grows lighter
    assert lightness[0, 0] < lightness[0, 1] < lightness[1, 1] < lightness[1, 3]
    assert pdx(tmp_path, "export", "-f", "--to", "png", "--size", "8", "--enlarge",
               "m.dat").returncode == 0
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "m.png")),
                                  png.repeat(2, axis=0).repeat(2, axis=1))
    xr = pytest.importorskip("xarray")
    pytest.importorskip("pdx")
    with xr.open_dataset(tmp_path / "m.dat", engine="pdx", pixel_size="2um") as ds:
        np.testing.assert_array_equal(ds.phase.values, want)
        assert (np.diff(ds.y) < 0).all() and (np.diff(ds.x) > 0).all()  # row 0 at the top


A = np.array([[7, -3, MARKER], [2**24 + 1, 5, 0]], dtype=np.int32)


@pytest.mark.parametrize("options,want", [
    ([], A), (["--all"], A), (["--pixel-size", "1um"], A),
    (["--nodata", "7"], np.where(A == 7, np.nan, A).astype(np.float32)),
    (["--z-scale", "2nm"], np.where(A == MARKER, np.nan, A * 2.0).astype(np.float32)),
])
def test_npy_exact_unless_told_apart_or_scaled(tmp_path, options, want):
    (tmp_path / "m.dat").write_bytes(data_file(A))
    assert pdx(tmp_path, "export", "-q", "--to", "npy", *options, "m.dat").returncode == 0
    got = np.load(tmp_path / "m.npy")
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


def test_campaign_previews_show_surfaces(tmp_path):
    subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "make_campaign.py"),
                    str(tmp_path), "--count", "3", "--width", "160", "--height", "120"],
                   check=True)
    names = sorted(n for n in os.listdir(tmp_path) if n.endswith(".dat"))
    run = pdx(tmp_path, "export", "--to", "png", "-q", *names)
    assert (run.returncode, run.stderr) == (0, "pdx: 3 files, 3 exported, 0 failed\n")
    for name in names:
        raw = open(tmp_path / name, "rb").read()[4096:]
        a = np.frombuffer(raw, ">i4").reshape(120, 160)
        png = np.asarray(Image.open(tmp_path / name.replace(".dat", ".png")))
        np.testing.assert_array_equal(png[..., 3] == 0, a == MARKER)
        colours = np.unique(png[a != MARKER][:, :3], axis=0)
        assert len(colours) > 100, name
