"""Interferometer data files and data matrix files as numpy arrays.

read_data_file reads a binary data file (header, intensity frames and phase
map), read_data_file_info its header alone; read_matrix_file and
write_matrix_file handle the data matrix files that pdx_convert writes.
Failures raise pdx.Error. With xarray installed, xr.open_dataset(path,
engine="pdx") opens a data file lazily (see pdx.xarray_backend).
"""

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

__all__ = [
    "DataFile",
    "DataFileInfo",
    "Error",
    "is_data_file",
    "read_data_file",
    "read_data_file_info",
    "read_matrix_file",
    "write_matrix_file",
]
