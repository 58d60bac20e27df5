"""Which phase samples are measurements, and the physical scale of a map.

Validity. Instruments mark the samples they could not measure with values
far beyond any phase count (2147483647 most often), so by default a sample
whose magnitude is 2**30 or more is invalid and every other one valid. Given
a range `valid=(lo, hi)` (both included; either may be None) and/or values
`nodata=[...]` (or a single int), a sample is valid when it lies in the range
and equals none of those values, and the default rule no longer applies;
`valid="all"` makes every sample valid.

    ok = pdx.valid_mask(f.phase)                       # bool, True where valid
    heights = pdx.masked(f.phase, valid=(None, 10**6))  # float32, NaN where not

Scale. A pixel size (`pixel_size=(0.52, 0.55, "um")`, `(0.52, "um")` for
square pixels, or "0.52um" and "0.52um,0.55um" as on the command line) and a
height per count (`z_scale=(0.158, "nm")` or "0.158nm"), each with a unit:
m, mm, um (or µm), nm. A number without a unit is refused.

Calibration. A lab writes its instrument's numbers once, in a JSON file or a
dict of the same shape (docs/pdx-calibration.schema.json):

    {"pixel_size": {"x": 0.52, "y": 0.52, "unit": "um"},
     "z_scale": {"value": 0.158, "unit": "nm"},
     "nodata": [2147483647],
     "valid": {"min": null, "max": 1000000},
     "description": "Lab 3 interferometer, 10x objective"}

Every member is optional (pixel_size.y defaults to x); an unknown member is
refused, so that a misspelt one does not pass unnoticed. Keyword arguments
given beside a calibration replace its members one by one.
"""

from __future__ import annotations

import json
import math
import numbers
import os
import re
from dataclasses import dataclass
from typing import Any, NamedTuple, Optional, Sequence, Union

import numpy as np

# The smallest magnitude that is a marker, not a phase count.
MARKER = 1 << 30

# Each unit's power of ten of a metre, and its name in file metadata.
_UNITS = {"m": 0, "mm": -3, "um": -6, "\u00b5m": -6, "\u03bcm": -6, "nm": -9}
_NUMBER = r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?"
_LENGTH = re.compile(r"\s*(%s)\s*(%s)\s*" % (_NUMBER, "|".join(_UNITS)))
_INT32 = (-(1 << 31), (1 << 31) - 1)


class PixelSize(NamedTuple):
    x: float
    y: float
    unit: str  # m, mm, um or nm


class ZScale(NamedTuple):
    value: float  # height per count
    unit: str


def _unit(name: Any) -> str:
    if not isinstance(name, str) or name not in _UNITS:
        raise ValueError("unknown length unit %r (m, mm, um, nm)" % (name,))
    return "um" if _UNITS[name] == -6 else name


def _positive(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number, not %r" % (what, value))
    value = float(value)
    if not (math.isfinite(value) and value > 0):
        raise ValueError("%s must be a positive number, not %r" % (what, value))
    return value


def parse_length(text: str) -> tuple[float, str]:
    """"0.52um" as (0.52, "um"): a positive number and its unit."""
    found = _LENGTH.fullmatch(text) if isinstance(text, str) else None
    if not found:
        raise ValueError("%r is not a length: a number and a unit (m, mm, um, nm), as 0.52um"
                         % (text,))
    return _positive(float(found.group(1)), "a length"), _unit(found.group(2))


def _convert(value: float, unit: str, to: str) -> float:
    shift = _UNITS[unit] - _UNITS[to]
    return value * 10**shift if shift >= 0 else value / 10**-shift


def parse_pixel_size(size: Any) -> PixelSize:
    """The pixel size given as (x, y, unit), (x, unit), "0.52um" or
    "0.52um,0.55um" (X, then Y in X's unit)."""
    if isinstance(size, str):
        parts = [parse_length(part) for part in size.split(",")]
        if len(parts) > 2:
            raise ValueError("a pixel size is X or X,Y, not %r" % size)
        (x, unit), (y, y_unit) = parts[0], parts[-1]
        return PixelSize(x, _convert(y, y_unit, unit), unit)
    if isinstance(size, (tuple, list)) and len(size) in (2, 3):
        x, y = size[0], size[-2]
        return PixelSize(_positive(x, "the pixel width"), _positive(y, "the pixel height"),
                         _unit(size[-1]))
    raise TypeError("pixel_size is (x, y, unit), (x, unit) or a string as \"0.52um\", not %r"
                    % (size,))


def parse_z_scale(scale: Any) -> ZScale:
    """The height per count given as (z, unit) or "0.158nm"."""
    if isinstance(scale, str):
        return ZScale(*parse_length(scale))
    if isinstance(scale, (tuple, list)) and len(scale) == 2:
        return ZScale(_positive(scale[0], "the height per count"), _unit(scale[1]))
    raise TypeError("z_scale is (z, unit) or a string as \"0.158nm\", not %r" % (scale,))


def _bound(value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise TypeError("a bound of the valid range must be a number or None, not %r" % (value,))
    return value


def _nodata(values: Any) -> tuple[int, ...]:
    if isinstance(values, numbers.Integral) and not isinstance(values, bool):
        values = [values]
    if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
        raise TypeError("nodata is an int or a list of ints, not %r" % (values,))
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, numbers.Integral):
            raise TypeError("a nodata value must be an int, not %r" % (v,))
        if not _INT32[0] <= v <= _INT32[1]:
            raise ValueError("the nodata value %d is no 32-bit sample" % v)
        out.append(int(v))
    return tuple(out)


def _text(value: float) -> str:
    return "%d" % value if isinstance(value, numbers.Integral) else repr(float(value))


@dataclass(frozen=True)
class Validity:
    """The rule that tells valid samples from invalid ones: the markers (the
    default), every sample (`every`), or a range and/or nodata values."""

    lo: Optional[float] = None
    hi: Optional[float] = None
    nodata: tuple[int, ...] = ()
    every: bool = False
    markers: bool = True

    def invalid(self, samples: np.ndarray) -> Optional[np.ndarray]:
        """True where a sample is invalid; None when none can be."""
        if self.every:
            return None
        if self.markers:
            return (samples <= -MARKER) | (samples >= MARKER)
        out = np.zeros(np.shape(samples), bool)
        if self.lo is not None:
            out |= samples < self.lo
        if self.hi is not None:
            out |= samples > self.hi
        for value in self.nodata:
            out |= samples == value
        return out

    def masked(self, samples: np.ndarray) -> np.ndarray:
        out = np.asarray(samples).astype(np.float32)
        invalid = self.invalid(samples)
        if invalid is not None:
            np.putmask(out, invalid, np.nan)  # 4 times as fast as out[invalid] = nan
        return out

    def heights(self, samples: np.ndarray, z: float) -> np.ndarray:
        """float32 samples * z, rounded once, NaN where invalid."""
        out = np.empty(np.shape(samples), np.float32)
        np.multiply(samples, z, out=out, casting="unsafe")
        invalid = self.invalid(samples)
        if invalid is not None:
            np.putmask(out, invalid, np.nan)  # 4 times as fast as out[invalid] = nan
        return out

    def describe(self) -> str:
        if self.every:
            return "every sample valid"
        if self.markers:
            return "invalid: |count| >= 2**30 (markers)"
        parts = []
        if self.lo is not None or self.hi is not None:
            parts.append("valid: %s <= count <= %s" % (
                "-inf" if self.lo is None else _text(self.lo),
                "inf" if self.hi is None else _text(self.hi)))
        if self.nodata:
            parts.append("nodata: %s" % ", ".join("%d" % v for v in self.nodata))
        return "; ".join(parts) or "every sample valid"


def validity(valid: Any = None, nodata: Any = None, *, base: Optional[Validity] = None) -> Validity:
    """The rule of `valid` and `nodata` (see the module's description): each
    one given replaces that part of `base` (the markers when None)."""
    base = base or Validity()
    if isinstance(valid, str):
        if valid != "all":
            raise ValueError("valid is (lo, hi), \"all\" or None, not %r" % valid)
        if nodata is not None:
            raise ValueError("valid=\"all\" keeps every sample: nodata cannot go with it")
        return Validity(every=True, markers=False)
    if valid is None and nodata is None:
        return base
    # The markers' and every sample's rules hold neither a range nor values.
    lo, hi = base.lo, base.hi
    if valid is not None:
        if not isinstance(valid, (tuple, list)) or len(valid) != 2:
            raise TypeError("valid is (lo, hi), \"all\" or None, not %r" % (valid,))
        lo, hi = _bound(valid[0]), _bound(valid[1])
        if lo is not None and hi is not None and not lo <= hi:
            raise ValueError("valid=(lo, hi) needs lo <= hi, not %r" % (valid,))
    return Validity(lo, hi, base.nodata if nodata is None else _nodata(nodata), markers=False)


def valid_mask(samples: Any, valid: Any = None, nodata: Any = None) -> np.ndarray:
    """A bool array, True where a sample of `samples` (e.g. read_data_file's
    phase) is valid under `valid` and `nodata` (the markers by default)."""
    samples = np.asarray(samples)
    invalid = validity(valid, nodata).invalid(samples)
    return np.ones(samples.shape, bool) if invalid is None else ~invalid


def masked(samples: Any, valid: Any = None, nodata: Any = None) -> np.ndarray:
    """`samples` as float32, NaN where invalid under `valid` and `nodata`
    (the markers by default). float32 keeps integers exactly up to 2**24."""
    return validity(valid, nodata).masked(np.asarray(samples))


@dataclass(frozen=True)
class Calibration:
    pixel_size: Optional[PixelSize] = None
    z_scale: Optional[ZScale] = None
    valid: Optional[tuple[Optional[float], Optional[float]]] = None
    nodata: Optional[tuple[int, ...]] = None
    description: Optional[str] = None


_MEMBERS = {"": {"pixel_size", "z_scale", "nodata", "valid", "description"},
            "pixel_size": {"x", "y", "unit"}, "z_scale": {"value", "unit"},
            "valid": {"min", "max"}}
_REQUIRED = {"pixel_size": {"x", "unit"}, "z_scale": {"value", "unit"}}


def _object(value: Any, where: str) -> dict:
    if not isinstance(value, dict):
        raise ValueError("%s must be an object, not %r" % (where or "a calibration", value))
    unknown = sorted(set(value) - _MEMBERS[where])
    if unknown:
        raise ValueError("unknown member %r%s" % (
            unknown[0], " in %s" % where if where else ""))
    missing = sorted(_REQUIRED.get(where, set()) - set(value))
    if missing:
        raise ValueError("%s needs %r" % (where, missing[0]))
    return value


def _unique(pairs: list) -> dict:
    members = dict(pairs)
    if len(members) != len(pairs):
        names = [name for name, _ in pairs]
        raise ValueError("member %r given twice" % next(n for n in names if names.count(n) > 1))
    return members


def _refuse_constant(name: str) -> None:
    raise ValueError("%s is no JSON number" % name)


def load_calibration(source: Union[str, os.PathLike, dict, Calibration]) -> Calibration:
    """A calibration from a JSON file's path or a dict of the same shape,
    checked member by member (unknown members refused): ValueError names
    the first fault."""
    if isinstance(source, Calibration):
        return source
    where = "calibration"
    if not isinstance(source, dict):
        path = os.fspath(source)
        where = "calibration %r" % os.fsdecode(path)
        with open(path, "rb") as f:
            content = f.read()
        try:
            source = json.loads(content.decode(), object_pairs_hook=_unique,
                                parse_constant=_refuse_constant)
        except ValueError as e:  # UnicodeDecodeError and JSONDecodeError too
            raise ValueError("%s: %s" % (where, e)) from None
    try:
        return _calibration(source)
    except (TypeError, ValueError) as e:
        raise ValueError("%s: %s" % (where, e)) from None


def _calibration(source: Any) -> Calibration:
    _object(source, "")
    size = scale = valid = nodata = None
    if "pixel_size" in source:
        p = _object(source["pixel_size"], "pixel_size")
        size = parse_pixel_size((p["x"], p.get("y", p["x"]), p["unit"]))
    if "z_scale" in source:
        z = _object(source["z_scale"], "z_scale")
        scale = parse_z_scale((z["value"], z["unit"]))
    if "valid" in source:
        v = _object(source["valid"], "valid")
        valid = (v.get("min"), v.get("max"))
        validity(valid)  # checks the bounds
    if "nodata" in source:
        if not isinstance(source["nodata"], list):
            raise ValueError("nodata must be a list of ints, not %r" % (source["nodata"],))
        nodata = _nodata(source["nodata"])
    description = source.get("description")
    if description is not None and not isinstance(description, str):
        raise ValueError("description must be a string, not %r" % (description,))
    return Calibration(size, scale, valid, nodata, description)


@dataclass(frozen=True)
class Settings:
    """What a reader makes of its options: the validity rule, the scale and
    the calibration's description."""

    validity: Validity = Validity()
    pixel_size: Optional[PixelSize] = None
    z_scale: Optional[ZScale] = None
    description: Optional[str] = None


def settings(calibration: Any = None, pixel_size: Any = None, z_scale: Any = None,
             valid: Any = None, nodata: Any = None) -> Settings:
    """The options of a reader, each one given replacing the calibration's."""
    c = load_calibration(calibration) if calibration is not None else Calibration()
    base = Validity()
    if c.valid is not None or c.nodata is not None:
        base = validity(c.valid, c.nodata)
    size = parse_pixel_size(pixel_size) if pixel_size is not None else c.pixel_size
    scale = parse_z_scale(z_scale) if z_scale is not None else c.z_scale
    return Settings(validity(valid, nodata, base=base), size, scale, c.description)
