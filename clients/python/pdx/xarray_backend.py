"""The xarray backend "pdx": binary data files as lazy Datasets.

    ds = xr.open_dataset("m.dat", engine="pdx")
    ds = xr.open_dataset(paths, engine="pdx", chunks={"file": 4})  # a list: a campaign
    ds = pdx.open_campaign(paths)              # the same, with about 4 MiB to a chunk
    ds = xr.open_mfdataset(paths, engine="pdx", combine="nested", concat_dim="file",
                           parallel=True)      # files of different layouts

Opening reads the header alone; a block is read when its values are needed,
whole, through pdx.read_data_file, and no file stays open in between. The
arrays hold a path and a shape only, so they pickle (to dask workers) and may
be read from many threads at once.

Variables: phase (y, x), int32, always (empty where the file has no phase
map); intensity (frame, y, x), uint16, when the file has frames. Coordinates
x and y are pixel positions in the camera frame: the phase region's origin
plus the column or row index. Intensity frames over another region than the
phase map get their own coordinates, x_intensity and y_intensity. Attributes:
header_length, intensity_tag and source_path (the absolute path).

open_dataset(..., valid=(lo, hi)) gives phase as float32 with NaN where a
sample lies outside lo..hi (both included); float32 holds integers exactly up
to 2**24 in magnitude.

A list or tuple of paths opens a campaign of files of one layout as one
Dataset: phase (file, y, x), intensity (file, frame, y, x) when every file
has frames, and a coordinate file (the absolute paths). Opening reads every
header, and nothing else; indexing reads just the files it selects, several
to a call with the interpreter lock released, straight into the result.
open_campaign(paths) puts a few files (about 4 MiB) in each dask chunk, so
that a reduction over the campaign keeps a few maps per thread in memory.
Files whose blocks differ in shape or place are refused, naming the first.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable, Sequence
from typing import Any, Optional, Tuple

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from pdx import _core

Valid = Optional[Tuple[float, float]]


def _dtype(block: str, valid: Valid) -> np.dtype:
    if valid is not None:
        return np.dtype(np.float32)
    return np.dtype(np.int32 if block == "phase" else np.uint16)


def _within(samples: np.ndarray, valid: Valid) -> np.ndarray:
    """`samples` as they are, or as float32 with NaN outside `valid`."""
    if valid is None:
        return samples
    lo, hi = valid
    out = samples.astype(np.float32)
    out[(samples < lo) | (samples > hi)] = np.nan
    return out


class DataFileArray(BackendArray):
    """One block of a data file ("phase" or "intensity"), read when indexed.
    Holds the path and the shape and origin the block was found with at
    opening, nothing else."""

    def __init__(self, path: str, block: str, shape: tuple[int, ...],
                 origin: tuple[int, int], valid: Valid = None):
        self.path = path
        self.block = block
        self.shape = shape
        self.origin = origin
        self.valid = valid
        self.dtype = _dtype(block, valid)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape,
                                                  indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: tuple) -> np.ndarray:
        phase = self.block == "phase"
        f = _core.read_data_file(self.path, intensity=not phase, phase=phase)
        block, origin = (f.phase, f.phase_origin) if phase else (f.intensity, f.intensity_origin)
        if block.shape != self.shape or origin != self.origin:
            # The coordinates were made from the shape and origin at opening.
            raise OSError("%r changed since it was opened: %s, not %s"
                          % (self.path, _block_text(self.block, block.shape, origin),
                             _block_text(self.block, self.shape, self.origin)))
        part = block[key]
        if self.valid is not None:
            return _within(part, self.valid)
        # A small part is copied, so that it does not keep the block alive.
        return part.copy() if part.size < block.size else part


class CampaignArray(BackendArray):
    """One block ("phase" or "intensity") of every file of a campaign, stacked
    along a first axis, read when indexed. Holds the paths and the layout
    every file was found with at opening, nothing else."""

    def __init__(self, paths: tuple[str, ...], block: str, shape: tuple[int, ...],
                 origin: tuple[int, int], valid: Valid = None):
        self.paths = paths
        self.block = block
        self.file_shape = shape
        self.origin = origin
        self.valid = valid
        self.shape = (len(paths),) + shape
        self.dtype = _dtype(block, valid)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape,
                                                  indexing.IndexingSupport.OUTER_1VECTOR,
                                                  self._read)

    def _read(self, key: tuple) -> np.ndarray:
        files = np.arange(len(self.paths))[key[0]]
        phase = self.block == "phase"
        # Zeros: the frames a file fills only in part are read as far as it
        # goes, and the rest, never written, costs no memory.
        raw = np.zeros((files.size,) + self.file_shape, np.int32 if phase else np.uint16)
        _core._read_stack([self.paths[i] for i in files.reshape(-1).tolist()], phase,
                          self.origin, raw)
        rest = key[1:]
        if any(not isinstance(k, slice) or k != slice(None) for k in rest):
            raw = raw[(slice(None),) + rest]
        raw = _within(raw, self.valid)
        return raw[0] if files.ndim == 0 else raw


# The columns of _core._read_layouts' rows.
_PHASE, _INTENSITY = slice(0, 4), slice(4, 9)
_HEADER_LENGTH, _TAG = 9, 10


def _block_text(block: str, shape: Sequence[int], origin: Sequence[int]) -> str:
    return "%s (%s) at (%d, %d)" % (block, ", ".join("%d" % n for n in shape), *origin)


def _describe(block: str, row: np.ndarray) -> str:
    if block == "phase":
        height, width, x, y = row[_PHASE].tolist()
        return _block_text(block, (height, width), (x, y))
    frames, height, width, x, y = row[_INTENSITY].tolist()
    return _block_text(block, (frames, height, width), (x, y))


def _read_layouts(paths: Sequence[Any], drop: set[str]) -> np.ndarray:
    # The header of a dropped block is not checked: its file reads without it.
    return _core._read_layouts(paths, intensity="intensity" not in drop,
                               phase="phase" not in drop)


def _open_campaign(filenames: Sequence[Any], drop: set[str], valid: Valid) -> xr.Dataset:
    try:
        paths = tuple(os.path.abspath(os.fsdecode(p)) for p in filenames)
    except TypeError:
        raise TypeError("the pdx engine opens files by path; a campaign is a list of paths") from None
    if not paths:
        raise ValueError("the pdx engine needs at least one path")
    layouts = _read_layouts(paths, drop)
    blocks = ["phase"] if "phase" not in drop else []
    if "intensity" not in drop and (layouts[:, _INTENSITY.start] > 0).all():
        blocks.append("intensity")
    for block in blocks:
        columns = _PHASE if block == "phase" else _INTENSITY
        differs = np.flatnonzero((layouts[:, columns] != layouts[0, columns]).any(axis=1))
        if differs.size:
            i = differs[0]
            raise ValueError("%r differs from %r: %s, not %s (xr.open_mfdataset opens files of "
                             "different layouts)" % (paths[i], paths[0], _describe(block, layouts[i]),
                                                     _describe(block, layouts[0])))

    variables, coords = _variables(("file",), layouts[0], blocks,
                                   lambda block, shape, origin: CampaignArray(
                                       paths, block, shape, origin, _valid_of(block, valid)))
    coords = {"file": ("file", np.array(paths)), **coords}
    # Each file is read on its own: any split along file suits the storage.
    for variable in variables.values():
        variable.encoding["preferred_chunks"] = {"file": 1}
    coords = {name: c for name, c in coords.items() if name not in drop}
    attrs = {}
    for name, column in (("header_length", _HEADER_LENGTH), ("intensity_tag", _TAG)):
        if (layouts[:, column] == layouts[0, column]).all():
            attrs[name] = int(layouts[0, column])
    return xr.Dataset(variables, coords=coords, attrs=attrs)


def _valid_of(block: str, valid: Valid) -> Valid:
    return valid if block == "phase" else None


def _drop_set(drop_variables: str | Iterable[str] | None) -> set[str]:
    if isinstance(drop_variables, str):
        return {drop_variables}
    return set(drop_variables or ())


def _variables(lead: tuple[str, ...], row: np.ndarray, blocks: Iterable[str],
               make: Any) -> tuple[dict[str, xr.Variable], dict[str, Any]]:
    """The variables of `blocks` ("phase", "intensity") of the layout `row`
    (one of _core._read_layouts' rows), their dimensions after `lead`, each
    over make(block, shape, origin); and their coordinates. The intensity
    frames share y and x with the phase map when they cover its region."""
    height, width, x, y = row[_PHASE].tolist()
    frames, i_height, i_width, i_x, i_y = row[_INTENSITY].tolist()
    variables: dict[str, xr.Variable] = {}
    coords: dict[str, Any] = {}
    if "phase" in blocks:
        variables["phase"] = _lazy(lead + ("y", "x"), make("phase", (height, width), (x, y)))
        coords.update(_region_coords((x, y), (height, width), ("y", "x")))
    if "intensity" in blocks:
        if ((i_x, i_y), (i_height, i_width)) == ((x, y), (height, width)):
            names = ("y", "x")
        else:
            names = ("y_intensity", "x_intensity")
        variables["intensity"] = _lazy(lead + ("frame",) + names,
                                       make("intensity", (frames, i_height, i_width), (i_x, i_y)))
        coords.update(_region_coords((i_x, i_y), (i_height, i_width), names))
    return variables, coords


@functools.lru_cache(maxsize=64)
def _positions(start: int, count: int) -> np.ndarray:
    # Shared by every file of a campaign, as its indexes are: int64, which
    # pandas takes without a copy, and read-only.
    positions = np.arange(start, start + count, dtype=np.int64)
    positions.setflags(write=False)
    return positions


def _region_coords(origin: tuple[int, int], shape: tuple[int, int],
                   names: tuple[str, str]) -> dict[str, Any]:
    (x0, y0), (height, width), (y, x) = origin, shape, names
    return {y: (y, _positions(y0, height)), x: (x, _positions(x0, width))}


def _lazy(dims: tuple[str, ...], array: BackendArray) -> xr.Variable:
    return xr.Variable(dims, indexing.LazilyIndexedArray(array))


class PdxBackendEntrypoint(BackendEntrypoint):
    """xr.open_dataset(path, engine="pdx", drop_variables=None, valid=None); path may
    be a list or tuple of paths (a campaign)."""

    description = "Interferometer binary data files (phase map, intensity frames), via pdx"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "valid")

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: str | Iterable[str] | None = None,
                     valid: Valid = None) -> xr.Dataset:
        campaign = isinstance(filename_or_obj, (list, tuple))
        if not campaign:
            try:
                path = os.path.abspath(os.fsdecode(filename_or_obj))
            except TypeError:
                raise TypeError("the pdx engine opens files by path, not %s"
                                % type(filename_or_obj).__name__) from None
        if valid is not None:
            lo, hi = (float(v) for v in valid)
            if not lo <= hi:
                raise ValueError("valid=(lo, hi) needs lo <= hi, not %r" % (valid,))
            valid = (lo, hi)
        drop = _drop_set(drop_variables)
        if campaign:
            return _open_campaign(filename_or_obj, drop, valid)

        row = _read_layouts([path], drop)[0]
        blocks = ["phase"] if "phase" not in drop else []
        if "intensity" not in drop and row[_INTENSITY.start] > 0:
            blocks.append("intensity")
        variables, coords = _variables((), row, blocks,
                                       lambda block, shape, origin: DataFileArray(
                                           path, block, shape, origin, _valid_of(block, valid)))
        coords = {name: c for name, c in coords.items() if name not in drop}
        attrs = {"header_length": int(row[_HEADER_LENGTH]), "intensity_tag": int(row[_TAG]),
                 "source_path": path}
        return xr.Dataset(variables, coords=coords, attrs=attrs)

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            return _core.is_data_file(os.fspath(filename_or_obj))
        except (TypeError, ValueError):
            return False


# A dask chunk of open_campaign's holds about this many bytes, in whole files.
CHUNK_BYTES = 4 << 20


def files_per_chunk(path: Any, drop_variables: str | Iterable[str] | None = None) -> int:
    """How many files of the layout of the file at `path` make up about
    CHUNK_BYTES of the blocks not dropped: open_campaign's chunks along file."""
    drop = _drop_set(drop_variables)
    height, width, _, _, frames, i_height, i_width, _, _, _, _ = _read_layouts(
        [path], drop)[0].tolist()
    per_file = 0
    if "phase" not in drop:
        per_file = 4 * height * width
    if "intensity" not in drop:
        per_file = max(per_file, 2 * frames * i_height * i_width)
    return max(1, CHUNK_BYTES // max(per_file, 1))


def open_campaign(paths: Sequence[Any], *, chunks: Any = {}, **kwargs: Any) -> xr.Dataset:
    """Opens the data files `paths`, all of one layout, as one lazy Dataset along
    a dimension `file`: xr.open_dataset(list(paths), engine="pdx", chunks=chunks,
    **kwargs), where a dict of chunks that does not name file gets
    files_per_chunk(paths[0]) files to a chunk (a few: about 4 MiB). chunks=None
    gives lazily indexed arrays without dask."""
    paths = list(paths)
    if isinstance(chunks, dict) and "file" not in chunks and paths:
        chunks = dict(chunks, file=files_per_chunk(paths[0], kwargs.get("drop_variables")))
    return xr.open_dataset(paths, engine="pdx", chunks=chunks, **kwargs)
