"""The xarray backend "pdx": binary data files as lazy Datasets.

    ds = xr.open_dataset("m.dat", engine="pdx")
    ds = xr.open_dataset(paths, engine="pdx", chunks={"file": 4})  # a list: a campaign
    ds = pdx.open_campaign(paths)              # the same, with about 4 MiB to a chunk
    ds = pdx.open_campaign(paths, errors="skip")  # leaving out files that do not read
    groups = pdx.group_by_layout(paths)           # files of different layouts, apart

Opening reads the header alone; a block is read when its values are needed,
whole, through pdx.read_data_file, and no file stays open in between. The
arrays hold a path and a shape only, so they pickle (to dask workers) and may
be read from many threads at once.

Variables: phase (y, x), always (empty where the file has no phase map):
float32 with NaN where a sample is invalid (by default one of magnitude
2**30 or more, a marker of a sample the instrument could not measure; see
pdx.measure), or int32 counts exactly as stored with mask_and_scale=False
(or decode_cf=False); float32 holds integers exactly up to 2**24 in
magnitude. height (y, x), float32, with a height per count: phase count *
z_scale in z_scale's unit, NaN where invalid; phase and height share their
reads (a dataset loaded whole, or open_campaign's dask chunks, read each
phase block once). intensity (frame, y, x), uint16, when the file
has frames. Options: valid=(lo, hi) (either bound None), nodata=[...] and
valid="all" in place of the marker rule; pixel_size=(x, y, "um") or
"0.52um", z_scale=(z, "nm") or "0.158nm"; calibration= a JSON file's path or
a dict (pdx.measure), whose members the other options replace.

Coordinates: pixel (r, c) of a region starting at camera pixel (x0, y0) has
x = (x0 + c) * pixel width and y = -(y0 + r) * pixel height, in the pixel
size's unit ("pixel" without one): y decreases down the rows, so that row 0,
the first in the file, is on top of xarray's plots as in the image files.
column and row, along x and y, are the camera pixel's indexes (x0 + c,
y0 + r): ds.swap_dims(x="column", y="row") indexes by them. The coordinates
carry CF units, long_name and axis. Intensity frames over another region
than the phase map get their own: x_intensity, y_intensity, column_intensity
and row_intensity. Attributes: header_length, intensity_tag, source_path
(the absolute path), valid_rule (the rule used, in words), pixel_size,
pixel_size_units, z_scale, z_scale_units and calibration (its description)
when given. All of it survives ds.to_netcdf().

A list or tuple of paths opens a campaign of files of one layout as one
Dataset: phase (file, y, x), intensity (file, frame, y, x) when every file
has frames, and a coordinate file (the absolute paths). Opening reads every
header, and nothing else; indexing reads just the files it selects, several
to a call with the interpreter lock released, straight into the result.
open_campaign(paths) puts a few files (about 4 MiB) in each dask chunk, so
that a reduction over the campaign keeps a few maps per thread in memory.
Files whose blocks differ in shape or place are refused, naming the first
(pdx.group_by_layout parts a campaign by layout). Opening checks each file's
size against its header: with errors="raise" (the default) the first file
that does not read raises its pdx.Error; errors="skip" leaves such files out
and names them in a pdx.SkippedFilesWarning and the attribute skipped_files.
"""

from __future__ import annotations

import functools
import os
import threading
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, Callable, Optional

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from pdx import _core, campaign, measure

Convert = Optional[Callable[[np.ndarray], np.ndarray]]


def _key_id(key: tuple) -> tuple:
    # Comparable with ==: slices, ints and lists of indexes.
    return tuple(k.tolist() if isinstance(k, np.ndarray) else k for k in key)


class _SharedRead:
    """The phase samples one variable read (phase or height), kept until
    the other variables over the same block have taken them: a dataset
    loaded whole reads each file's phase block once. One part at a time."""

    def __init__(self, readers: int):
        self.readers = readers
        self._lock = threading.Lock()
        self._key: Optional[tuple] = None
        self._part: Optional[np.ndarray] = None
        self._waiting = 0

    def __getstate__(self) -> int:
        return self.readers

    def __setstate__(self, readers: int) -> None:
        self.__init__(readers)

    def read(self, key: tuple, read: Callable[[tuple], np.ndarray]) -> np.ndarray:
        found = _key_id(key)
        with self._lock:
            if self._part is not None and self._key == found:
                part = self._part
                self._waiting -= 1
                if not self._waiting:
                    self._key = self._part = None
                return part
        part = read(key)
        with self._lock:
            self._key, self._part, self._waiting = found, part, self.readers - 1
        return part


class DataFileArray(BackendArray):
    """One block of a data file ("phase" or "intensity"), read when indexed,
    its samples passed through `convert` when given, of type `dtype`.
    Holds the path and the shape and origin the block was found with at
    opening, nothing else (and `shared`, the phase samples read for another
    variable over the same block and not yet taken)."""

    def __init__(self, path: str, block: str, shape: tuple[int, ...],
                 origin: tuple[int, int], convert: Convert, dtype: Any,
                 shared: Optional[_SharedRead] = None):
        self.path = path
        self.block = block
        self.shape = shape
        self.origin = origin
        self.convert = convert
        self.dtype = np.dtype(dtype)
        self.shared = shared

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape,
                                                  indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: tuple) -> np.ndarray:
        part = self.shared.read(key, self._samples) if self.shared else self._samples(key)
        return self.convert(part) if self.convert else part

    def _samples(self, key: tuple) -> np.ndarray:
        phase = self.block == "phase"
        f = _core.read_data_file(self.path, intensity=not phase, phase=phase)
        block, origin = (f.phase, f.phase_origin) if phase else (f.intensity, f.intensity_origin)
        if block.shape != self.shape or origin != self.origin:
            # The coordinates were made from the shape and origin at opening.
            raise OSError("%r changed since it was opened: %s, not %s"
                          % (self.path, _block_text(self.block, block.shape, origin),
                             _block_text(self.block, self.shape, self.origin)))
        part = block[key]
        # A small part is copied, so that it does not keep the block alive.
        return part.copy() if part.size < block.size else part


class CampaignArray(BackendArray):
    """One block ("phase" or "intensity") of every file of a campaign, stacked
    along a first axis, read when indexed and passed through `convert` as
    DataFileArray's. Holds the paths and the layout every file was found
    with at opening, nothing else."""

    def __init__(self, paths: tuple[str, ...], block: str, shape: tuple[int, ...],
                 origin: tuple[int, int], convert: Convert, dtype: Any,
                 shared: Optional[_SharedRead] = None):
        self.paths = paths
        self.block = block
        self.file_shape = shape
        self.origin = origin
        self.convert = convert
        self.shape = (len(paths),) + shape
        self.dtype = np.dtype(dtype)
        self.shared = shared

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape,
                                                  indexing.IndexingSupport.OUTER_1VECTOR,
                                                  self._read)

    def _read(self, key: tuple) -> np.ndarray:
        part = self.shared.read(key, self._samples) if self.shared else self._samples(key)
        return self.convert(part) if self.convert else part

    def _samples(self, key: tuple) -> np.ndarray:
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
        return raw[0] if files.ndim == 0 else raw


# The fields of _core._read_layouts' records that give each block's layout.
_PHASE, _INTENSITY = campaign._PHASE, campaign._INTENSITY


def _fields(row: np.void, names: Sequence[str]) -> list[int]:
    return [int(row[name]) for name in names]


def _block_text(block: str, shape: Sequence[int], origin: Sequence[int]) -> str:
    return "%s (%s) at (%d, %d)" % (block, ", ".join("%d" % n for n in shape), *origin)


def _describe(block: str, row: np.void) -> str:
    if block == "phase":
        height, width, x, y = _fields(row, _PHASE)
        return _block_text(block, (height, width), (x, y))
    frames, height, width, x, y = _fields(row, _INTENSITY)
    return _block_text(block, (frames, height, width), (x, y))


def _read_layouts(paths: Sequence[Any], blocks: Iterable[str]) -> np.ndarray:
    """One record of named fields per file (see _core._read_layouts)."""
    # The header of a block not read is not checked: its file reads without it.
    return _core._read_layouts(paths, intensity="intensity" in blocks,
                               phase="phase" in blocks)


def _blocks(drop: set[str], settings: measure.Settings) -> list[str]:
    """The variables to make, before looking at the file(s)."""
    names = ["phase"] + (["height"] if settings.z_scale is not None else []) + ["intensity"]
    return [name for name in names if name not in drop]


def _skipped_text(skipped: dict[str, str]) -> str:
    return "\n".join("%s: %s" % item for item in skipped.items())


def _open_campaign(filenames: Sequence[Any], drop: set[str], settings: measure.Settings,
                   mask: bool, errors: str = "raise") -> xr.Dataset:
    try:
        paths = tuple(os.path.abspath(os.fsdecode(p)) for p in filenames)
    except TypeError:
        raise TypeError("the pdx engine opens files by path; a campaign is a list of paths") from None
    if not paths:
        raise ValueError("the pdx engine needs at least one path")
    blocks = _blocks(drop, settings)
    # Every header read, and each file's size against it: a file cut short
    # is refused (or left out) here, not met in a computation.
    keep, layouts, skipped = campaign._layouts(
        paths, "intensity" in blocks, "phase" in blocks or "height" in blocks, errors)
    if skipped:
        if not keep:
            raise ValueError("no file of the campaign reads: " + _skipped_text(skipped))
        warnings.warn(campaign.SkippedFilesWarning(skipped), stacklevel=4)
        paths = tuple(paths[i] for i in keep)
    if "intensity" in blocks and not (layouts["frames"] > 0).all():
        blocks.remove("intensity")
    for block in ("phase", "intensity"):
        if block not in blocks and (block != "phase" or "height" not in blocks):
            continue
        fields = _PHASE if block == "phase" else _INTENSITY
        differs = np.flatnonzero(np.any([layouts[f] != layouts[f][0] for f in fields], axis=0))
        if differs.size:
            i = differs[0]
            raise ValueError("%r differs from %r: %s, not %s (pdx.group_by_layout parts files "
                             "by layout)" % (paths[i], paths[0], _describe(block, layouts[i]),
                                             _describe(block, layouts[0])))

    variables, coords = _variables(("file",), layouts[0], blocks, settings, mask,
                                   functools.partial(CampaignArray, paths))
    coords = {"file": ("file", np.array(paths)), **coords}
    # Each file is read on its own: any split along file suits the storage.
    for variable in variables.values():
        variable.encoding["preferred_chunks"] = {"file": 1}
    coords = {name: c for name, c in coords.items() if name not in drop}
    attrs = {}
    for name in ("header_length", "intensity_tag"):
        if (layouts[name] == layouts[name][0]).all():
            attrs[name] = int(layouts[name][0])
    if skipped:
        attrs["skipped_files"] = _skipped_text(skipped)
    return xr.Dataset(variables, coords=coords, attrs={**attrs, **_attrs(settings)})


def _drop_set(drop_variables: str | Iterable[str] | None) -> set[str]:
    if isinstance(drop_variables, str):
        return {drop_variables}
    return set(drop_variables or ())


def _height_attrs(settings: measure.Settings) -> dict[str, Any]:
    return {"units": settings.z_scale.unit, "long_name": "height"}


_PHASE_ATTRS = {"units": "count", "long_name": "phase"}
_INTENSITY_ATTRS = {"units": "count", "long_name": "intensity"}


def _variables(lead: tuple[str, ...], row: np.void, blocks: Iterable[str],
               settings: measure.Settings, mask: bool,
               make: Any) -> tuple[dict[str, xr.Variable], dict[str, Any]]:
    """The variables `blocks` ("phase", "height", "intensity") of the layout
    `row` (one of _core._read_layouts' records), their dimensions after `lead`,
    each over make(block, shape, origin, convert, dtype, shared); and their
    coordinates. The intensity frames share y and x with the phase map when
    they cover its region. Phase and height share their reads."""
    height, width, x, y = _fields(row, _PHASE)
    frames, i_height, i_width, i_x, i_y = _fields(row, _INTENSITY)
    validity, size = settings.validity, settings.pixel_size
    variables: dict[str, xr.Variable] = {}
    coords: dict[str, Any] = {}
    over_phase = [name for name in ("phase", "height") if name in blocks]
    shared = _SharedRead(len(over_phase)) if len(over_phase) > 1 else None
    if "phase" in blocks:
        # Counts handed out are copied when height may still take them.
        convert = validity.masked if mask else (np.copy if shared else None)
        variables["phase"] = _lazy(lead + ("y", "x"), make(
            "phase", (height, width), (x, y), convert, np.float32 if mask else np.int32, shared),
            _PHASE_ATTRS)
    if "height" in blocks:
        convert = functools.partial(validity.heights, z=settings.z_scale.value)
        variables["height"] = _lazy(lead + ("y", "x"), make(
            "phase", (height, width), (x, y), convert, np.float32, shared),
            _height_attrs(settings))
    if over_phase:
        coords.update(_region_coords((x, y), (height, width), "", size))
    if "intensity" in blocks:
        same = ((i_x, i_y), (i_height, i_width)) == ((x, y), (height, width))
        suffix = "" if same else "_intensity"
        variables["intensity"] = _lazy(
            lead + ("frame", "y" + suffix, "x" + suffix),
            make("intensity", (frames, i_height, i_width), (i_x, i_y), None, np.uint16),
            _INTENSITY_ATTRS)
        coords.update(_region_coords((i_x, i_y), (i_height, i_width), suffix, size))
    return variables, coords


@functools.lru_cache(maxsize=64)
def _positions(start: int, count: int, step: int, size: Optional[float]) -> np.ndarray:
    # Shared by every file of a campaign, as its indexes are: int64 or
    # float64, which pandas takes without a copy, and read-only.
    positions = np.arange(start, start + step * count, step, dtype=np.int64)[:count]
    if size is not None:
        positions = positions * size
    positions.setflags(write=False)
    return positions


def _region_coords(origin: tuple[int, int], shape: tuple[int, int], suffix: str,
                   size: Optional[measure.PixelSize]) -> dict[str, Any]:
    """x and y (pixel (r, c) at (x0 + c, -(y0 + r)), times the pixel size
    when there is one: y decreases down the rows, so that row 0 is on top of
    a plot) and the camera pixel's column and row."""
    (x0, y0), (height, width) = origin, shape
    x, y = "x" + suffix, "y" + suffix
    unit = size.unit if size else "pixel"
    x_attrs = {"units": unit, "long_name": "x in the camera frame", "axis": "X"}
    y_attrs = {"units": unit, "long_name": "y in the camera frame, decreasing down the rows",
               "axis": "Y"}
    if size:
        x_attrs["standard_name"] = "projection_x_coordinate"
        y_attrs["standard_name"] = "projection_y_coordinate"
    # A coordinate has no missing values: no _FillValue in a netCDF file.
    return {
        x: (x, _positions(x0, width, 1, size and size.x), x_attrs, {"_FillValue": None}),
        y: (y, _positions(-y0, height, -1, size and size.y), y_attrs, {"_FillValue": None}),
        "column" + suffix: (x, _positions(x0, width, 1, None),
                            {"long_name": "camera pixel column"}),
        "row" + suffix: (y, _positions(y0, height, 1, None), {"long_name": "camera pixel row"}),
    }


def _attrs(settings: measure.Settings) -> dict[str, Any]:
    """The dataset's record of the validity rule and the scale used."""
    attrs: dict[str, Any] = {"valid_rule": settings.validity.describe()}
    if settings.pixel_size:
        attrs["pixel_size"] = [settings.pixel_size.x, settings.pixel_size.y]
        attrs["pixel_size_units"] = settings.pixel_size.unit
    if settings.z_scale:
        attrs["z_scale"] = settings.z_scale.value
        attrs["z_scale_units"] = settings.z_scale.unit
    if settings.description is not None:
        attrs["calibration"] = settings.description
    return attrs


def _lazy(dims: tuple[str, ...], array: BackendArray, attrs: dict[str, Any]) -> xr.Variable:
    return xr.Variable(dims, indexing.LazilyIndexedArray(array), dict(attrs))


def _settings(calibration: Any = None, pixel_size: Any = None, z_scale: Any = None,
              valid: Any = None, nodata: Any = None) -> measure.Settings:
    return measure.settings(calibration, pixel_size, z_scale, valid, nodata)


def _settings_given(kwargs: dict[str, Any]) -> measure.Settings:
    names = ("calibration", "pixel_size", "z_scale", "valid", "nodata")
    return _settings(**{name: kwargs.get(name) for name in names})


def _unread(kwargs: dict[str, Any]) -> set[str]:
    """The variables whose blocks a campaign opened with these options does
    not read: height is read only with a z scale, and then takes the phase
    block, dropped or not."""
    drop = _drop_set(kwargs.get("drop_variables"))
    if _settings_given(kwargs).z_scale is None:
        drop.add("height")
    elif "height" not in drop:
        drop.discard("phase")
    return drop


class PdxBackendEntrypoint(BackendEntrypoint):
    """xr.open_dataset(path, engine="pdx", drop_variables=None, valid=None,
    nodata=None, mask_and_scale=None, pixel_size=None, z_scale=None,
    calibration=None, errors="raise"); path may be a list or tuple of paths (a
    campaign), where errors="skip" leaves out the files that do not read."""

    # xarray takes the parameters from open_dataset's signature.
    description = "Interferometer binary data files (phase map, intensity frames), via pdx"

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: str | Iterable[str] | None = None,
                     valid: Any = None, nodata: Any = None,
                     mask_and_scale: Optional[bool] = None, pixel_size: Any = None,
                     z_scale: Any = None, calibration: Any = None,
                     errors: str = "raise") -> xr.Dataset:
        is_campaign = isinstance(filename_or_obj, (list, tuple))
        if not is_campaign:
            try:
                path = os.path.abspath(os.fsdecode(filename_or_obj))
            except TypeError:
                raise TypeError("the pdx engine opens files by path, not %s"
                                % type(filename_or_obj).__name__) from None
        settings = _settings(calibration, pixel_size, z_scale, valid, nodata)
        mask = mask_and_scale is not False
        drop = _drop_set(drop_variables)
        if is_campaign:
            return _open_campaign(filename_or_obj, drop, settings, mask, errors)

        blocks = _blocks(drop, settings)
        # errors="raise" only: one file that does not read has nothing to open.
        row = campaign._layouts([path], "intensity" in blocks,
                                "phase" in blocks or "height" in blocks, "raise")[1][0]
        if "intensity" in blocks and row["frames"] == 0:
            blocks.remove("intensity")
        variables, coords = _variables((), row, blocks, settings, mask,
                                       functools.partial(DataFileArray, path))
        coords = {name: c for name, c in coords.items() if name not in drop}
        attrs = {name: int(row[name]) for name in ("header_length", "intensity_tag")}
        attrs = {**attrs, "source_path": path, **_attrs(settings)}
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
    blocks = [b for b in ("phase", "intensity") if b not in _drop_set(drop_variables)]
    row = _read_layouts([path], blocks)[0]
    height, width = _fields(row, _PHASE[:2])
    frames, i_height, i_width = _fields(row, _INTENSITY[:3])
    per_file = 0
    if "phase" in blocks:
        per_file = 4 * height * width
    if "intensity" in blocks:
        per_file = max(per_file, 2 * frames * i_height * i_width)
    return max(1, CHUNK_BYTES // max(per_file, 1))


def open_campaign(paths: Sequence[Any], *, chunks: Any = {}, **kwargs: Any) -> xr.Dataset:
    """Opens the data files `paths`, all of one layout, as one lazy Dataset along
    a dimension `file`: xr.open_dataset(list(paths), engine="pdx", chunks=chunks,
    **kwargs), where a dict of chunks that does not name file gets
    files_per_chunk(paths[0]) files to a chunk (a few: about 4 MiB). chunks=None
    gives lazily indexed arrays without dask. On dask, phase and height are
    made from one read of each file. errors="skip" leaves out the files that
    do not read (checked here: headers, and sizes against them), naming them
    in a pdx.SkippedFilesWarning and the attribute skipped_files, one
    "path: ERR_NAME" a line."""
    paths = list(paths)
    skipped: dict[str, str] = {}
    if kwargs.get("errors", "raise") == "skip":
        # Checked first, so that the chunks are sized on a file that reads.
        keep, skipped = campaign.check(paths, drop_variables=_unread(kwargs))
        if skipped:
            if not keep:
                raise ValueError("no file of the campaign reads: " + _skipped_text(skipped))
            warnings.warn(campaign.SkippedFilesWarning(skipped), stacklevel=3)
            paths = keep
        kwargs = dict(kwargs, errors="raise")
    ds = _open_checked(paths, chunks, kwargs)
    if skipped:
        ds.attrs["skipped_files"] = _skipped_text(skipped)
    return ds


def _open_checked(paths: list[Any], chunks: Any, kwargs: dict[str, Any]) -> xr.Dataset:
    settings = _settings_given(kwargs)
    drop = _drop_set(kwargs.get("drop_variables"))
    if isinstance(chunks, dict) and "file" not in chunks and paths:
        chunks = dict(chunks, file=files_per_chunk(paths[0], _unread(kwargs)))
    if chunks is None or settings.z_scale is None or {"phase", "height"} & drop:
        return xr.open_dataset(paths, engine="pdx", chunks=chunks, **kwargs)
    # The counts as read, then phase and height from the same dask chunks.
    mask = kwargs.get("mask_and_scale") is not False and kwargs.get("decode_cf") is not False
    ds = xr.open_dataset(paths, engine="pdx", chunks=chunks,
                         **dict(kwargs, drop_variables=drop | {"height"}, mask_and_scale=False))
    counts = ds.phase.variable
    validity = settings.validity
    if mask:
        ds["phase"] = counts.copy(data=counts.data.map_blocks(validity.masked, dtype=np.float32))
    height = counts.data.map_blocks(validity.heights, z=settings.z_scale.value, dtype=np.float32)
    ds["height"] = xr.Variable(counts.dims, height, _height_attrs(settings))
    return ds
