"""The xarray backend as a user meets it: one file opened lazily, regions,
the valid range and dropped variables, a file changed behind an open
dataset, and a campaign reduced on a two-worker cluster and saved."""

import os
import pickle

import numpy as np
import pytest

import pdx
from test_pdx import EXAMPLE, data_file

xr = pytest.importorskip("xarray")


def test_example_opens_lazily():
    blocks, descriptors = pdx._testing.live_blocks(), len(os.listdir("/proc/self/fd"))
    ds = xr.open_dataset(EXAMPLE)  # the engine found by the magic number
    assert pdx._testing.live_blocks() == blocks
    f = pdx.read_data_file(EXAMPLE)
    assert ds.phase.dims == ("y", "x") and ds.phase.dtype == np.int32
    assert ds.intensity.dims == ("frame", "y", "x") and ds.intensity.dtype == np.uint16
    np.testing.assert_array_equal(ds.x, 96 + np.arange(64))
    np.testing.assert_array_equal(ds.y, 120 + np.arange(48))
    assert ds.attrs == {"header_length": 4096, "intensity_tag": 0,
                        "source_path": os.path.abspath(EXAMPLE)}
    np.testing.assert_array_equal(ds.phase[5:9, ::3], f.phase[5:9, ::3])
    again = pickle.loads(pickle.dumps(ds))
    np.testing.assert_array_equal(again.intensity, f.intensity)
    np.testing.assert_array_equal(again.phase, f.phase)
    assert len(os.listdir("/proc/self/fd")) == descriptors


def test_regions_valid_range_and_dropped_variables(tmp_path):
    path = tmp_path / "m.dat"
    phase = np.array([[-5, 0, 7], [100, 3, -100]], np.int32)
    path.write_bytes(data_file(834, np.ones((2, 4, 5), np.uint16), phase, fields=[
        (48, "h", 10), (50, "h", 20), (64, "h", 1), (66, "h", 2)]))
    ds = xr.open_dataset(path, engine="pdx", valid=(-5, 7))
    assert ds.intensity.dims == ("frame", "y_intensity", "x_intensity")
    np.testing.assert_array_equal(ds.x_intensity, 10 + np.arange(5))
    np.testing.assert_array_equal(ds.y_intensity, 20 + np.arange(4))
    np.testing.assert_array_equal(ds.x, [1, 2, 3])
    np.testing.assert_array_equal(ds.y, [2, 3])
    assert ds.phase.dtype == np.float32
    np.testing.assert_array_equal(ds.phase, [[-5, 0, 7], [np.nan, 3, np.nan]])
    kept = xr.open_dataset(path, engine="pdx", drop_variables=["intensity", "x"])
    assert set(kept.variables) == {"phase", "y"}

    path.write_bytes(data_file(4096))
    empty = xr.open_dataset(path, engine="pdx")
    assert empty.phase.shape == (0, 0) and "intensity" not in empty


@pytest.mark.parametrize("content, can_open", [
    (None, False), (b"\x88\x1b\x03", False), (b"CDF\x01 a netCDF file", False),
    (data_file(834), True), (data_file(4096), True)])
def test_guess_can_open(tmp_path, content, can_open):
    path = tmp_path / "f.dat"
    if content is not None:
        path.write_bytes(content)
    assert xr.backends.list_engines()["pdx"].guess_can_open(path) == can_open


def test_file_changed_after_open(tmp_path):
    path = tmp_path / "m.dat"
    path.write_bytes(data_file(834, phase=np.ones((2, 3), np.int32)))
    ds = xr.open_dataset(path, engine="pdx")
    path.write_bytes(data_file(834, phase=np.ones((3, 2), np.int32)))
    with pytest.raises(OSError, match="changed since it was opened"):
        ds.phase.values
    path.unlink()
    with pytest.raises(pdx.Error, match="ERR_CANT_OPEN_FILE"):
        ds.phase.values


def test_campaign_on_a_local_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("netCDF4")
    paths = []
    for i in range(8):
        paths.append(tmp_path / ("m%d.dat" % i))
        paths[-1].write_bytes(data_file(4096, np.full((1, 4, 5), i, np.uint16),
                                        np.arange(20, dtype=np.int32).reshape(4, 5) * i))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  local_directory=str(tmp_path)) as cluster, \
            distributed.Client(cluster):
        ds = xr.open_mfdataset(paths, engine="pdx", combine="nested", concat_dim="file",
                               parallel=True)
        means = ds.phase.mean(("y", "x")).compute()
        peaks = ds.intensity.max(("frame", "y", "x")).compute()
    np.testing.assert_array_equal(means, 9.5 * np.arange(8))
    np.testing.assert_array_equal(peaks, np.arange(8))

    ds.to_netcdf(tmp_path / "campaign.nc", engine="netcdf4")
    with xr.open_dataset(tmp_path / "campaign.nc", engine="netcdf4") as saved:
        xr.testing.assert_identical(saved.load(), ds.load())
