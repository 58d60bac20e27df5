"""Campaigns as labs bring them back: many files, a few damaged, not all of
one layout.

    good, skipped = pdx.campaign.check(paths)      # {path: "ERR_..."} left out
    groups = pdx.group_by_layout(paths)            # [[path, ...], ...]
    datasets = [pdx.open_campaign(g) for g in groups]

check reads each header and compares the file's size with the size its
header implies (the header's length and its blocks' byte lengths), so that a
file cut short is found when a campaign is opened, not when it is computed.
A file shorter than that is read whole to name its fault; one the read takes
after all is kept.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, Optional

from pdx import _core

# The fields of _core._read_layouts' records that give each block's layout.
_PHASE = ("phase_height", "phase_width", "phase_x", "phase_y")
_INTENSITY = ("frames", "intensity_height", "intensity_width", "intensity_x", "intensity_y")


class SkippedFilesWarning(UserWarning):
    """Files of a campaign left out because they do not read; `skipped`
    maps each path to its error's name (ERR_PREMATURE_EOF, ...)."""

    def __init__(self, skipped: dict[str, str]):
        self.skipped = dict(skipped)
        lines = ["%s: %s" % item for item in self.skipped.items()]
        super().__init__("%d file%s left out, not readable:\n  %s"
                         % (len(lines), "" if len(lines) == 1 else "s", "\n  ".join(lines)))


def _blocks_asked(drop_variables: str | Iterable[str] | None) -> tuple[bool, bool]:
    drop = {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ())
    return "intensity" not in drop, bool({"phase", "height"} - drop)


def _fault(path: str, row: Any, intensity: bool, phase: bool) -> Optional[_core.Error]:
    """The error reading `path` (its layout `row`) would meet, found from its
    size; None when it reads."""
    try:
        if os.stat(path).st_size >= int(row["implied_size"]):
            return None
        _core.read_data_file(path, intensity=intensity, phase=phase)
    except _core.Error as e:
        return e
    except OSError:
        return None  # not there any more: the read will say so
    return None


def _layouts(paths: Sequence[str], intensity: bool, phase: bool,
             errors: str) -> tuple[list[int], Any, dict[str, str]]:
    """The indexes of the files of `paths` that read, their layouts, and the
    others with their error names; errors="raise" raises the first fault."""
    if errors not in ("raise", "skip"):
        raise ValueError("errors is 'raise' or 'skip', not %r" % (errors,))
    import numpy as np

    try:
        rows = _core._read_layouts(paths, intensity=intensity, phase=phase)
        headers_read = True
    except _core.Error:
        headers_read = False  # each read alone, to find the first at fault
    keep: list[int] = []
    kept_rows = []
    skipped: dict[str, str] = {}
    for i, path in enumerate(paths):
        if headers_read:
            row = rows[i]
        else:
            try:
                row = _core._read_layouts([path], intensity=intensity, phase=phase)[0]
            except _core.Error as e:
                if errors == "raise":
                    raise
                skipped[path] = e.name
                continue
        fault = _fault(path, row, intensity, phase)
        if fault is not None:
            if errors == "raise":
                raise fault
            skipped[path] = fault.name
            continue
        keep.append(i)
        kept_rows.append(row)
    layouts = (np.array(kept_rows, dtype=kept_rows[0].dtype) if kept_rows
               else _core._read_layouts([], intensity=intensity, phase=phase))
    return keep, layouts, skipped


def check(paths: Sequence[Any], *, drop_variables: str | Iterable[str] | None = None,
          errors: str = "skip") -> tuple[list[Any], dict[str, str]]:
    """The paths of the files that read (in their order) and the others, each
    with its error's name. The blocks dropped are not checked. errors="raise"
    raises the first file's pdx.Error instead."""
    paths = list(paths)
    keep, _, skipped = _layouts([os.fsdecode(p) for p in paths], *_blocks_asked(drop_variables),
                                errors)
    return [paths[i] for i in keep], skipped


def group_by_layout(paths: Sequence[Any], *,
                    drop_variables: str | Iterable[str] | None = None,
                    errors: str = "raise") -> list[list[Any]]:
    """The data files `paths` in groups of one layout each (the phase map's
    shape and place on the camera, and the intensity frames' unless
    dropped: what open_campaign needs alike across its files), in the order
    the groups' first files come, each in the order given: each group opens
    with open_campaign. errors="skip" leaves out the files that do not read,
    with a SkippedFilesWarning naming them."""
    paths = list(paths)
    intensity, phase = _blocks_asked(drop_variables)
    keep, layouts, skipped = _layouts([os.fsdecode(p) for p in paths], intensity, phase, errors)
    if skipped:
        warnings.warn(SkippedFilesWarning(skipped), stacklevel=2)
    columns = [c for c, asked in ((_PHASE, phase), (_INTENSITY, intensity)) if asked]
    groups: dict[tuple, list[Any]] = {}
    for i, row in zip(keep, layouts):
        key = tuple(int(row[name]) for c in columns for name in c)
        groups.setdefault(key, []).append(paths[i])
    return list(groups.values())
