"""Which samples are valid, lengths with their units, and calibrations (the
contract's example, a file against the schema, and what is refused)."""

import json
import pathlib

import numpy as np
import pytest

import pdx
from pdx import measure

SAMPLES = np.array([-2**31, -2**30, 1 - 2**30, -7, 0, 7, 2**30 - 1, 2**30, 2**31 - 1], np.int32)


@pytest.mark.parametrize("options, valid, rule", [
    ({}, "001111100", "invalid: |count| >= 2**30 (markers)"),
    ({"valid": (-7, 7)}, "000111000", "valid: -7 <= count <= 7"),
    ({"valid": (7, 7)}, "000001000", "valid: 7 <= count <= 7"),
    ({"valid": (None, 0)}, "111110000", "valid: -inf <= count <= 0"),
    ({"valid": (0.5, None)}, "000001111", "valid: 0.5 <= count <= inf"),
    ({"nodata": 2**31 - 1}, "111111110", "nodata: 2147483647"),
    ({"nodata": [0, -2**31], "valid": (None, 7)}, "011101000",
     "valid: -inf <= count <= 7; nodata: 0, -2147483648"),
    ({"valid": (None, None)}, "111111111", "every sample valid"),
    ({"valid": "all"}, "111111111", "every sample valid"),
])
def test_validity_rules(options, valid, rule):
    assert measure.validity(**options).describe() == rule
    expected = np.array([c == "1" for c in valid])
    np.testing.assert_array_equal(pdx.valid_mask(SAMPLES, **options), expected)
    out = pdx.masked(SAMPLES, **options)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, np.where(expected, SAMPLES.astype(np.float32), np.nan))


@pytest.mark.parametrize("options, error, message", [
    ({"valid": (5, 4)}, ValueError, r"valid=\(lo, hi\) needs lo <= hi"),
    ({"valid": "none"}, ValueError, "valid is "),
    ({"valid": 5}, TypeError, "valid is "),
    ({"valid": ("0", 5)}, TypeError, "a bound of the valid range must be a number"),
    ({"valid": (True, 5)}, TypeError, "a bound"),
    ({"valid": (float("nan"), 5)}, TypeError, "a bound"),
    ({"valid": "all", "nodata": 1}, ValueError, "valid=\"all\" keeps every sample"),
    ({"nodata": 1.5}, TypeError, "nodata is an int or a list of ints"),
    ({"nodata": "1"}, TypeError, "nodata is an int"),
    ({"nodata": [True]}, TypeError, "a nodata value must be an int"),
    ({"nodata": [2**31]}, ValueError, "the nodata value 2147483648 is no 32-bit sample"),
    ({"nodata": [-2**31 - 1]}, ValueError, "the nodata value"),
])
def test_refused_validity_options(options, error, message):
    with pytest.raises(error, match="^" + message):
        pdx.valid_mask(SAMPLES, **options)


@pytest.mark.parametrize("parse, given, expected", [
    (measure.parse_pixel_size, "0.52um", (0.52, 0.52, "um")),
    (measure.parse_pixel_size, "0.52\u00b5m,550nm", (0.52, 0.55, "um")),
    (measure.parse_pixel_size, "5e-1mm,2e-3m", (0.5, 2.0, "mm")),
    (measure.parse_pixel_size, (5e-4, 2.5e-4, "mm"), (5e-4, 2.5e-4, "mm")),
    (measure.parse_pixel_size, (2, "\u03bcm"), (2.0, 2.0, "um")),
    (measure.parse_z_scale, "0.158nm", (0.158, "nm")),
    (measure.parse_z_scale, (1e-9, "m"), (1e-9, "m")),
    (measure.parse_pixel_size, "0.52", (ValueError, "'0.52' is not a length")),
    (measure.parse_pixel_size, "0.52pm", (ValueError, "'0.52pm' is not a length")),
    (measure.parse_pixel_size, "1um,2um,3um", (ValueError, "a pixel size is X or X,Y")),
    (measure.parse_pixel_size, (0.5, 0.5), (ValueError, "unknown length unit 0.5")),
    (measure.parse_pixel_size, (True, "um"), (TypeError, "the pixel width must be a number")),
    (measure.parse_pixel_size, (1, -1, "um"), (ValueError, "the pixel height must be a positive number")),
    (measure.parse_pixel_size, ("0.5um",), (TypeError, "pixel_size is")),
    (measure.parse_z_scale, "-1nm", (ValueError, "a length must be a positive number")),
    (measure.parse_z_scale, (0, "nm"), (ValueError, "the height per count must be a positive number")),
    (measure.parse_z_scale, (float("inf"), "nm"), (ValueError, "the height per count")),
    (measure.parse_z_scale, ("0.158nm",), (TypeError, "z_scale is")),
    (measure.parse_z_scale, 0.158, (TypeError, "z_scale is")),
])
def test_lengths(parse, given, expected):
    if isinstance(expected[0], type):
        with pytest.raises(expected[0], match="^" + expected[1]):
            parse(given)
    else:
        assert tuple(parse(given)) == expected


EXAMPLE = {
    "pixel_size": {"x": 0.52, "y": 0.52, "unit": "um"},
    "z_scale": {"value": 0.158, "unit": "nm"},
    "nodata": [2147483647],
    "valid": {"min": None, "max": 1000000},
    "description": "Lab 3 interferometer, 10x objective",
}
SCHEMA = pathlib.Path(__file__).parents[3] / "docs" / "pdx-calibration.schema.json"


def test_calibration_file_and_the_options_over_it(tmp_path):
    path = tmp_path / "lab3.json"
    path.write_text(json.dumps(EXAMPLE, ensure_ascii=False), encoding="utf-8")
    if SCHEMA.exists():
        jsonschema = pytest.importorskip("jsonschema")
        jsonschema.validate(EXAMPLE, json.loads(SCHEMA.read_text(encoding="utf-8")))
    c = pdx.load_calibration(path)
    assert c == pdx.load_calibration(EXAMPLE)
    assert c.pixel_size == (0.52, 0.52, "um") and c.z_scale == (0.158, "nm")
    assert c.valid == (None, 1000000) and c.nodata == (2147483647,)
    assert c.description == "Lab 3 interferometer, 10x objective"
    s = measure.settings(path, z_scale="2nm", valid=(-3, None))
    assert s.z_scale == (2.0, "nm") and s.pixel_size == c.pixel_size
    np.testing.assert_array_equal(s.validity.invalid(SAMPLES), [1, 1, 1, 1, 0, 0, 0, 0, 1])
    np.testing.assert_array_equal(measure.settings(path, nodata=[]).validity.invalid(SAMPLES),
                                  [0, 0, 0, 0, 0, 0, 1, 1, 1])
    assert measure.settings(path, valid="all").validity.invalid(SAMPLES) is None
    assert measure.settings({"pixel_size": {"x": 2, "unit": "nm"}}).pixel_size == (2, 2, "nm")
    with pytest.raises(ValueError, match="^calibration: unknown member 'a'"):
        pdx.load_calibration({"a": 1})


@pytest.mark.parametrize("content, message", [
    ('{"zscale": {}, "pixel_sise": {}}', "unknown member 'pixel_sise'"),
    ('{"pixel_size": {"x": 1, "unit": "um", "z": 2}}', "unknown member 'z' in pixel_size"),
    ('{"pixel_size": {"y": 1}}', "pixel_size needs 'unit'"),
    ('{"z_scale": {"unit": "nm"}}', "z_scale needs 'value'"),
    ('{"pixel_size": [1, "um"]}', "pixel_size must be an object"),
    ('{"z_scale": {"value": 1, "unit": "inch"}}', "unknown length unit 'inch'"),
    ('{"z_scale": {"value": "1", "unit": "nm"}}', "the height per count must be a number"),
    ('{"nodata": 2147483647}', "nodata must be a list"),
    ('{"nodata": [1, 2.0]}', "a nodata value must be an int"),
    ('{"valid": {"min": 1, "max": 0}}', r"valid=\(lo, hi\) needs lo <= hi"),
    ('{"valid": {"max": NaN}}', "NaN is no JSON number"),
    ('{"valid": {}, "description": "a", "description": "b"}', "member 'description' given twice"),
    ('{"description": 3}', "description must be a string"),
    ('[1]', "a calibration must be an object"),
    ('{"description": "\xff"}', "'utf-8' codec can't decode byte 0xff"),
])
def test_refused_calibrations(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_text(content, encoding="latin-1")
    with pytest.raises(ValueError, match=r"^calibration '.*bad.json': " + message):
        pdx.load_calibration(path)
