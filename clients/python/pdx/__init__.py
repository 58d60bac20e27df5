"""Interferometer data files and data matrix files as numpy arrays.

read_data_file reads a binary data file (header, intensity frames and phase
map), read_data_file_info its header alone; read_matrix_file and
write_matrix_file handle the data matrix files that pdx_convert writes.
Failures raise pdx.Error. With xarray installed, xr.open_dataset(path,
engine="pdx") opens a data file lazily, and open_campaign(paths) many files
of one layout as one Dataset (see pdx.xarray_backend); errors="skip" leaves
out the files that do not read. group_by_layout(paths) parts a campaign into
lists of files of one layout each (see pdx.campaign). scan(paths, threads=N)
tabulates a campaign's files and statistics in a pandas.DataFrame.

Phase samples whose magnitude is 2**30 or more are markers of samples the
instrument could not measure, not counts: valid_mask(phase) tells the valid
samples, masked(phase) gives float32 with NaN in place of the others, both
with valid=(lo, hi) (either bound None), nodata=[...] or valid="all" in
place of that rule; load_calibration reads a lab's pixel size, height per
count and validity rule from a JSON file (see pdx.measure).
"""

from typing import Any, Sequence

from pdx._core import (
    DataFile,
    DataFileInfo,
    Error,
    __version__,
    _testing,
    is_data_file,
    read_data_file,
    read_data_file_info,
    read_matrix_file,
    write_matrix_file,
)
from pdx.campaign import SkippedFilesWarning, group_by_layout
from pdx.measure import load_calibration, masked, valid_mask


def scan(paths: Sequence[Any], **options: Any) -> Any:
    """One row per file of `paths` (a pandas.DataFrame): whether it reads or
    its error, its geometry and the statistics of its valid samples, several
    files at a time (threads=N). See pdx.scan_table.scan."""
    from pdx.scan_table import scan as scan_files

    return scan_files(paths, **options)


def open_campaign(paths: Sequence[Any], *, chunks: Any = {}, errors: str = "raise",
                  **kwargs: Any) -> Any:
    """Opens the data files `paths`, all of one layout, as one lazy xarray
    Dataset along a dimension `file`, a few files to a dask chunk (needs
    xarray and dask). errors="skip" leaves out the files that do not read
    (headers and sizes checked here), naming them in a SkippedFilesWarning
    and the attribute skipped_files. See pdx.xarray_backend.open_campaign."""
    from pdx.xarray_backend import open_campaign as open_with_xarray

    return open_with_xarray(paths, chunks=chunks, errors=errors, **kwargs)


__all__ = [
    "DataFile",
    "DataFileInfo",
    "Error",
    "SkippedFilesWarning",
    "group_by_layout",
    "is_data_file",
    "load_calibration",
    "masked",
    "open_campaign",
    "read_data_file",
    "read_data_file_info",
    "read_matrix_file",
    "scan",
    "valid_mask",
    "write_matrix_file",
]
