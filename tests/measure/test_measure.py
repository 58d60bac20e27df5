"""The measurement module read back by independent means: statistics over
maps with markers against numpy, and calibration files against their
schema (docs/pdx-calibration.schema.json) with jsonschema, the parser and
the schema agreeing on every file."""
import json
import os
import struct
import subprocess

import jsonschema
import numpy as np
import pytest

DRIVER = os.environ["PDX_MEASURE_DRIVER"]
SCHEMA = os.path.join(os.environ["PDX_SOURCE_DIR"], "docs", "pdx-calibration.schema.json")
M = 2**31 - 1


def run(*args):
    done = subprocess.run([DRIVER, *map(str, args)], stdout=subprocess.PIPE, text=True)
    return done.returncode, json.loads(done.stdout) if done.stdout else None


def stats_of(tmp_path, a, *options):
    src = tmp_path / "in.bin"
    src.write_bytes(struct.pack("<HH", a.shape[1], a.shape[0]) + a.astype("<i4").tobytes())
    rc, got = run("stats", src, *options)
    assert rc == 0
    return got


def surface(seed):
    rng = np.random.default_rng(seed)
    a = (1000 + rng.normal(0, 300, (120, 160))).astype(np.int32)
    a[rng.random(a.shape) < 0.1] = M
    a[:3] = -2**31
    a[5, :7] = 2**30
    a[6, :2] = -(2**30)
    return a


COARSE = surface(3)
COARSE[np.abs(COARSE.astype(np.int64)) < 2**30] //= 20  # fewer distinct values than the table holds


@pytest.mark.parametrize("a, options, valid", [
    (surface(1), (), lambda a: np.abs(a.astype(np.int64)) < 2**30),
    (surface(2), ("--nodata", M, "--nodata", -2**31), lambda a: (a != M) & (a != -2**31)),
    (COARSE, ("--valid", "45:55", "--nodata", 50), lambda a: (a >= 45) & (a <= 55) & (a != 50)),
    (surface(4), ("--all",), lambda a: np.ones(a.shape, bool)),
    (2_000_000_000 + np.random.default_rng(5).integers(-1000, 1000, (300, 500), dtype=np.int32),
     ("--valid", ":"), lambda a: np.ones(a.shape, bool)),  # a one-pass sum of squares loses this
    (np.full((4, 4), M, np.int32), (), lambda a: np.zeros(a.shape, bool)),
])
def test_stats_against_numpy(tmp_path, a, options, valid):
    got = stats_of(tmp_path, a, *options)
    mask = valid(a)
    v = a[mask].astype(np.float64)
    assert got["count"] == a.size and got["valid"] == v.size
    if v.size:
        assert (got["min"], got["max"]) == (a[mask].min(), a[mask].max())
        assert got["mean"] == pytest.approx(v.mean(), rel=1e-14)
        assert got["std"] == pytest.approx(v.std(), rel=1e-9)
        assert got["float32_exact"] == bool(np.abs(v).max() <= 2**24)
    else:
        assert (got["min"], got["max"], got["mean"], got["std"]) == (0, 0, 0, 0)
    values, counts = np.unique(a[~mask], return_counts=True)
    ranked = sorted(zip(counts.tolist(), values.tolist()), key=lambda cv: (-cv[0], cv[1]))
    assert got["named"] == [[v, c] for c, v in ranked[:8]]
    assert got["other_values"] == max(len(ranked) - 8, 0) and got["other_values_exact"]
    assert got["other_samples"] == sum(c for c, _ in ranked[8:])


GOOD = [
    {},
    {"pixel_size": {"x": 0.52, "y": 0.55, "unit": "um"}, "z_scale": {"value": 0.158, "unit": "nm"},
     "nodata": [2147483647], "valid": {"min": None, "max": 1000000},
     "description": "Lab 3 interferometer, 10x objective", "$schema": "pdx-calibration.schema.json"},
    {"pixel_size": {"x": 1e-3, "unit": "µm"}, "nodata": [-2147483648, 0, 7.0]},
    {"pixel_size": {"unit": "μm", "x": 1e12}, "valid": {}, "description": "\u00e9\U0001F52C\n\"\\"},
    {"z_scale": {"value": 2, "unit": "mm"}, "valid": {"min": -5, "max": -5}},
    {"nodata": list(range(16))},
]
BAD = [  # each refused by the schema and by the parser
    [], "text", {"pixel": {}}, {"pixel_size": {"x": 1}}, {"pixel_size": {"unit": "um"}},
    {"pixel_size": {"x": 0, "unit": "um"}}, {"pixel_size": {"x": -1, "unit": "um"}},
    {"pixel_size": {"x": 1.1e12, "unit": "um"}}, {"pixel_size": {"x": "1", "unit": "um"}},
    {"pixel_size": {"x": 1, "unit": "UM"}}, {"pixel_size": {"x": 1, "unit": "um", "z": 1}},
    {"z_scale": {"value": 1}}, {"z_scale": {"value": 1, "unit": "pm"}}, {"z_scale": 0.158},
    {"nodata": []}, {"nodata": list(range(17))}, {"nodata": [2147483648]}, {"nodata": [1.5]},
    {"nodata": 5}, {"nodata": [True]}, {"valid": {"min": 1.5}}, {"valid": {"max": -2147483649}},
    {"valid": {"low": 1}}, {"valid": [1, 2]}, {"description": 5}, {"description": None},
]
GOOD_TEXT = [  # numbers and escapes in forms json.dumps does not write
    ('{"nodata": [9, 19, -0, 7e0, 50E-1, 5e+0, 1e1], "z_scale": {"value": 2.5E-3, "unit": "nm"}}',
     {"nodata": [9, 19, 0, 7, 5, 5, 10], "z_scale": {"value": 2.5e-3, "unit": "nm"}}),
    (r'{"description": "\u0041\u007f\u0080\u07ff\u0800\uabcd\uEF9A\ud7ff\ue000\uffff'
     r'\ud800\udc00\ud83d\udd2c\udbff\udfff\b\f\/"}',
     {"description": "A\x7f\x80\u07ff\u0800\uabcd\uef9a\ud7ff\ue000\uffff\U00010000\U0001f52c"
                     "\U0010ffff\b\f/"}),
]
BAD_TEXT = [  # JSON that the schema cannot judge, or not JSON at all
    '{"valid": {"min": 3, "max": 2}}', '{"nodata": [1], "nodata": [2]}', '{"x": 1,}',
    "{'x': 1}", '{"description": "\\ud800"}', '{"description": "a\tb"}', "{} x", "",
    '{"nodata": [01]}', '{"nodata": [1e400]}', '{"valid": {"min": nul}}', b'{"description": "\xff"}',
]


def test_calibration_files_against_the_schema(tmp_path):
    schema = json.load(open(SCHEMA, encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    path = tmp_path / "c.json"
    for doc in GOOD + BAD:
        path.write_text(json.dumps(doc, ensure_ascii=False, indent=2), encoding="utf-8")
        rc, got = run("calibration", path)
        assert (rc == 0) == validator.is_valid(doc) == (doc in GOOD), (doc, got)
        if rc == 0:
            want = json.loads(json.dumps(doc))
            want.pop("$schema", None)
            if "pixel_size" in want:
                want["pixel_size"].setdefault("y", want["pixel_size"]["x"])
            for member in ("pixel_size", "z_scale"):
                if member in want:
                    want[member]["unit"] = want[member]["unit"].replace("µ", "u").replace("μ", "u")
            want.get("valid", {}).setdefault("min", None)
            want.get("valid", {}).setdefault("max", None)
            assert got == want
        else:
            assert got["member"] in got["message"]
    for text, want in GOOD_TEXT:
        path.write_text(text, encoding="utf-8")
        assert run("calibration", path) == (0, want), text
    for text in BAD_TEXT:
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
        rc, got = run("calibration", path)
        assert rc == 1 and "line 1, column" in got["message"], text
    # A byte order mark is taken, as some editors write one.
    path.write_bytes(b'\xef\xbb\xbf{"nodata": [7]}')
    assert run("calibration", path) == (0, {"nodata": [7]})
