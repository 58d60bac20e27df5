"""Statistics of a campaign, one row per file, on several threads.

    table = pdx.scan(paths, threads=2)              # a pandas.DataFrame
    table[~table.reads]                             # the files that do not read
    table.sort_values("valid_percent").head()       # the worst covered

Each file's header is read, then its phase map, and the statistics of its
valid samples are taken; the reads and the reductions run with the
interpreter lock released, so `threads` files are worked on at once. The
numbers are those of `pdx info --json --stats`.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Optional

import numpy as np

from pdx import _core, campaign, measure

COLUMNS = ["path", "reads", "error", "header_length", "width", "height", "x", "y", "frames",
           "count", "valid", "valid_percent", "min", "max", "mean", "std"]
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
