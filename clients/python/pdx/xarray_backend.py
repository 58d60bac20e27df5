"""The xarray backend "pdx": binary data files as lazy Datasets.

    ds = xr.open_dataset("m.dat", engine="pdx")
    ds = xr.open_mfdataset(paths, engine="pdx", combine="nested", concat_dim="file",
                           parallel=True)

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
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable
from typing import Any, Optional, Tuple

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from pdx import _core

Valid = Optional[Tuple[float, float]]


class DataFileArray(BackendArray):
    """One block of a data file ("phase" or "intensity"), read when indexed."""

    def __init__(self, path: str, block: str, shape: tuple[int, ...], valid: Valid = None):
        self.path = path
        self.block = block
        self.shape = shape
        self.valid = valid
        if valid is not None:
            self.dtype = np.dtype(np.float32)
        else:
            self.dtype = np.dtype(np.int32 if block == "phase" else np.uint16)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape,
                                                  indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: tuple) -> np.ndarray:
        phase = self.block == "phase"
        f = _core.read_data_file(self.path, intensity=not phase, phase=phase)
        block = f.phase if phase else f.intensity
        if block.shape != self.shape:
            raise OSError("%r changed since it was opened: %s %s, not %s"
                          % (self.path, self.block, block.shape, self.shape))
        part = block[key]
        if self.valid is not None:
            lo, hi = self.valid
            out = part.astype(np.float32)
            out[(part < lo) | (part > hi)] = np.nan
            return out
        # A small part is copied, so that it does not keep the block alive.
        return part.copy() if part.size < block.size else part


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


def _lazy(dims: tuple[str, ...], array: DataFileArray) -> xr.Variable:
    return xr.Variable(dims, indexing.LazilyIndexedArray(array))


class PdxBackendEntrypoint(BackendEntrypoint):
    """xr.open_dataset(path, engine="pdx", drop_variables=None, valid=None)."""

    description = "Interferometer binary data files (phase map, intensity frames), via pdx"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "valid")

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: str | Iterable[str] | None = None,
                     valid: Valid = None) -> xr.Dataset:
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
        if isinstance(drop_variables, str):
            drop_variables = [drop_variables]
        drop = set(drop_variables or ())

        info = _core.read_data_file_info(path)
        variables: dict[str, xr.Variable] = {}
        coords: dict[str, Any] = {}
        if "phase" not in drop:
            variables["phase"] = _lazy(("y", "x"),
                                       DataFileArray(path, "phase", info.phase_shape, valid))
            coords.update(_region_coords(info.phase_origin, info.phase_shape, ("y", "x")))
        if info.intensity_shape[0] > 0 and "intensity" not in drop:
            frames, height, width = info.intensity_shape
            if (info.intensity_origin, (height, width)) == (info.phase_origin, info.phase_shape):
                names = ("y", "x")
            else:
                names = ("y_intensity", "x_intensity")
            variables["intensity"] = _lazy(("frame",) + names,
                                           DataFileArray(path, "intensity", info.intensity_shape))
            coords.update(_region_coords(info.intensity_origin, (height, width), names))
        coords = {name: c for name, c in coords.items() if name not in drop}
        attrs = {"header_length": info.header_length, "intensity_tag": info.intensity_tag,
                 "source_path": path}
        return xr.Dataset(variables, coords=coords, attrs=attrs)

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            return _core.is_data_file(os.fspath(filename_or_obj))
        except (TypeError, ValueError):
            return False
