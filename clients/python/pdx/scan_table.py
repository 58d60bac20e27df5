"""Statistics of a campaign, one row per file, on several threads.

    table = pdx.scan(paths, threads=2)              # a pandas.DataFrame
    table[~table.reads]                             # the files that do not read
    table.sort_values("valid_percent").head()       # the worst covered

Each file's header is read, then its phase map, and the statistics of its
valid samples are taken, all in the library (pdx._core._scan) on `threads`
threads with the interpreter lock released, one map per thread at a time:
the same functions as `pdx info --json --stats`, so the numbers are its own.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Optional

import numpy as np

from pdx import _core, campaign, measure

COLUMNS = ["path", "reads", "error", "header_length", "width", "height", "x", "y", "frames",
           "count", "valid", "valid_percent", "min", "max", "mean", "std"]
_MAX_NODATA = 16  # the nodata values the core's rule holds; more are taken here
_INTEGERS = ["header_length", "width", "height", "x", "y", "frames", "count", "valid", "min",
             "max"]


def _stats(phase: np.ndarray, validity: measure.Validity) -> dict[str, Any]:
    samples = phase.reshape(-1)
    invalid = validity.invalid(samples)
    values = samples if invalid is None else samples[~invalid]
    out: dict[str, Any] = {"count": samples.size, "valid": values.size,
                           "valid_percent": 100.0 * values.size / samples.size}
    if values.size:
        d = values.astype(np.float64)
        mean = d.sum() / d.size
        d -= mean
        out.update(min=int(values.min()), max=int(values.max()), mean=float(mean),
                   std=float(np.sqrt(np.dot(d, d) / d.size)))
    return out


def _core_rule(validity: measure.Validity) -> Optional[dict[str, Any]]:
    """`validity` as the core takes it: integer bounds within 32 bits, and
    the nodata values the range does not already refuse; None when more
    remain than the core keeps."""
    if validity.every or validity.markers:
        return {"rule": "all" if validity.every else "markers", "lo": None, "hi": None,
                "nodata": []}
    low, high = -(1 << 31), (1 << 31) - 1
    lo = hi = None
    empty = False
    if validity.lo is not None and validity.lo > low:
        empty = validity.lo > high
        lo = None if empty else int(math.ceil(validity.lo))
    if validity.hi is not None and validity.hi < high:
        empty = empty or validity.hi < low
        hi = None if empty else int(math.floor(validity.hi))
    if empty or (lo is not None and hi is not None and lo > hi):
        # No sample lies in the range: a range of one value, which is nodata.
        return {"rule": "chosen", "lo": 0, "hi": 0, "nodata": [0]}
    nodata = sorted({v for v in validity.nodata
                     if (lo is None or v >= lo) and (hi is None or v <= hi)})
    if len(nodata) > _MAX_NODATA:
        return None
    return {"rule": "chosen", "lo": lo, "hi": hi, "nodata": nodata}


def _columns(paths: list[Any], rule: dict[str, Any], threads: int) -> dict[str, Any]:
    import pandas as pd

    c = _core._scan(paths, threads=threads, **rule)
    header, stats = c["header"], c["stats"]
    some = stats & (c["valid"] > 0)
    reads = np.array([e is None for e in c["error"]], bool)

    def integers(name: str, present: np.ndarray) -> Any:
        return pd.arrays.IntegerArray(c[name].astype(np.int64), ~present)

    out: dict[str, Any] = {"path": [os.fsdecode(p) for p in paths], "reads": reads,
                           "error": pd.Series(c["error"], dtype=object)}
    for name in ("header_length", "width", "height", "x", "y", "frames"):
        out[name] = integers(name, header)
    out["count"] = integers("count", stats)
    out["valid"] = integers("valid", stats)
    with np.errstate(invalid="ignore", divide="ignore"):
        out["valid_percent"] = np.where(stats, 100.0 * c["valid"] / c["count"], np.nan)
    out["min"] = integers("min", some)
    out["max"] = integers("max", some)
    out["mean"] = np.where(some, c["mean"], np.nan)
    out["std"] = np.where(some, c["std"], np.nan)
    return out


def _row(path: Any, stats: bool, validity: measure.Validity) -> dict[str, Any]:
    name = os.fsdecode(path)
    row: dict[str, Any] = {"path": name, "reads": False}
    try:
        layout = _core._read_layouts([name], intensity=False, phase=True)[0]
    except _core.Error as e:
        row["error"] = e.name
        return row
    row.update({key: int(layout[field]) for key, field in (
        ("header_length", "header_length"), ("width", "phase_width"), ("height", "phase_height"),
        ("x", "phase_x"), ("y", "phase_y"), ("frames", "frames"))})
    if not stats:
        fault = campaign._fault(name, layout, False, True)
        if fault is not None:
            row["error"] = fault.name
            return row
        row["reads"] = True
        return row
    try:
        phase = _core.read_data_file(name, intensity=False).phase
    except _core.Error as e:
        row["error"] = e.name
        return row
    row["reads"] = True
    if phase.size:
        row.update(_stats(phase, validity))
    return row


def scan(paths: Sequence[Any], *, stats: bool = True, threads: Optional[int] = None,
         valid: Any = None, nodata: Any = None, calibration: Any = None) -> Any:
    """A pandas.DataFrame with one row per file of `paths`, in their order:
    path, reads (bool), error (the error's name, or None), header_length,
    width, height, x, y (the phase map's camera origin), frames, and with
    stats=True the count of samples and of valid ones, valid_percent, and
    the min, max, mean and std (population) of the valid samples, in counts.
    Without stats, each file's header and size are checked, not its samples.
    threads: files at a time (default: the number of CPUs). valid, nodata
    and calibration choose the valid samples as elsewhere (pdx.measure)."""
    import pandas as pd

    validity = measure.settings(calibration, valid=valid, nodata=nodata).validity
    paths = list(paths)
    threads = max(1, threads or os.cpu_count() or 1)
    rule = _core_rule(validity) if stats else None
    if rule is not None:
        return pd.DataFrame(_columns(paths, rule, min(threads, max(len(paths), 1))),
                            columns=COLUMNS)
    if threads == 1 or len(paths) < 2:
        rows = [_row(p, stats, validity) for p in paths]
    else:
        with ThreadPoolExecutor(max_workers=min(threads, len(paths))) as pool:
            rows = list(pool.map(lambda p: _row(p, stats, validity), paths))
    table = pd.DataFrame(rows, columns=COLUMNS)
    for column in _INTEGERS:
        table[column] = table[column].astype("Int64")
    table["reads"] = table["reads"].astype(bool)
    table["error"] = table["error"].astype(object).where(table["error"].notna(), None)
    if not stats:
        table = table.drop(columns=COLUMNS[9:])
    return table
