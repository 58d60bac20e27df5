"""The xarray backend as a user meets it: one file opened lazily, regions,
the valid range and dropped variables, a file changed behind an open
dataset, a campaign opened as one dataset (equal to its files, lazy,
refused when its files differ), and a campaign reduced on a two-worker
cluster and saved."""

import errno
import os
import pathlib
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest

import pdx
from test_pdx import EXAMPLE, data_file

xr = pytest.importorskip("xarray")
import pdx.xarray_backend  # noqa: E402 (after xarray is found)


def test_example_opens_lazily():
    blocks, descriptors = pdx._testing.live_blocks(), len(os.listdir("/proc/self/fd"))
    ds = xr.open_dataset(EXAMPLE)  # the engine found by the magic number
    assert pdx._testing.live_blocks() == blocks
    f = pdx.read_data_file(EXAMPLE)
    assert ds.phase.dims == ("y", "x") and ds.phase.dtype == np.float32
    assert ds.intensity.dims == ("frame", "y", "x") and ds.intensity.dtype == np.uint16
    assert ds.intensity.attrs == {"units": "count", "long_name": "intensity"}
    np.testing.assert_array_equal(ds.x, 96 + np.arange(64))
    np.testing.assert_array_equal(ds.y, -120 - np.arange(48))
    np.testing.assert_array_equal(ds.row, 120 + np.arange(48))
    assert ds.x.attrs == {"units": "pixel", "long_name": "x in the camera frame", "axis": "X"}
    assert ds.attrs == {"header_length": 4096, "intensity_tag": 0,
                        "source_path": os.path.abspath(EXAMPLE),
                        "valid_rule": "invalid: |count| >= 2**30 (markers)"}
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
    np.testing.assert_array_equal(ds.y_intensity, -20 - np.arange(4))
    np.testing.assert_array_equal(ds.row_intensity, 20 + np.arange(4))
    np.testing.assert_array_equal(ds.x, [1, 2, 3])
    np.testing.assert_array_equal(ds.y, [-2, -3])
    assert ds.phase.dtype == np.float32
    np.testing.assert_array_equal(ds.phase, [[-5, 0, 7], [np.nan, 3, np.nan]])
    kept = xr.open_dataset(path, engine="pdx", drop_variables=["intensity", "x"])
    assert set(kept.variables) == {"phase", "y", "row", "column"}

    with pytest.raises(TypeError, match="^the pdx engine opens files by path, not int"):
        xr.open_dataset(3, engine="pdx")
    with pytest.raises(TypeError, match="^the pdx engine opens files by path; a campaign is a list"):
        xr.open_dataset([path, 3], engine="pdx")

    path.write_bytes(data_file(4096))
    empty = xr.open_dataset(path, engine="pdx")
    assert empty.phase.shape == (0, 0) and "intensity" not in empty


MARKED = np.array([[2**31 - 1, -3, 5], [7, -2**30, 2**24 + 1]], np.int32)


def marked_file(tmp_path, phase=MARKED):
    path = tmp_path / "marked.dat"
    path.write_bytes(data_file(834, phase=phase, fields=[(64, "h", 2), (66, "h", 3)]))
    return path


@pytest.mark.parametrize("options, dtype, invalid", [
    ({}, np.float32, [[1, 0, 0], [0, 1, 0]]),
    ({"valid": (None, 5), "nodata": -3}, np.float32, [[1, 1, 0], [1, 0, 1]]),
    ({"valid": "all"}, np.float32, [[0, 0, 0], [0, 0, 0]]),
    ({"mask_and_scale": False}, np.int32, None),
    ({"decode_cf": False, "valid": (0, 1)}, np.int32, None),
])
def test_invalid_samples_masked_unless_counts_kept(tmp_path, options, dtype, invalid):
    netCDF4 = pytest.importorskip("netCDF4")
    ds = xr.open_dataset(marked_file(tmp_path), engine="pdx", **options)
    expected = MARKED if invalid is None else np.where(invalid, np.nan, MARKED.astype(dtype))
    assert ds.phase.dtype == dtype and ds.phase.attrs == {"units": "count", "long_name": "phase"}
    np.testing.assert_array_equal(ds.phase, expected)
    ds.to_netcdf(tmp_path / "m.nc", engine="netcdf4")
    with netCDF4.Dataset(tmp_path / "m.nc") as saved:
        phase = saved["phase"]
        phase.set_auto_mask(False)
        assert phase.dtype == dtype and phase.units == "count"
        assert ("_FillValue" in phase.ncattrs()) == (invalid is not None)
        np.testing.assert_array_equal(phase[:], expected)


def test_scale_and_coordinates_survive_netcdf(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    calibration = tmp_path / "lab.json"
    calibration.write_text('{"pixel_size": {"x": 0.5, "y": 0.25, "unit": "\u00b5m"}, "z_scale": '
                           '{"value": 3, "unit": "mm"}, "nodata": [2147483647], '
                           '"description": "Lab 3"}')
    ds = xr.open_dataset(marked_file(tmp_path), engine="pdx", calibration=calibration,
                         z_scale="2nm")
    np.testing.assert_array_equal(ds.x, [1.0, 1.5, 2.0])
    np.testing.assert_array_equal(ds.y, [-0.75, -1.0])
    np.testing.assert_array_equal(ds.column, [2, 3, 4])
    np.testing.assert_array_equal(ds.row, [3, 4])
    expected = np.array(MARKED * 2.0, np.float32)
    expected[0, 0] = np.nan  # the nodata value; the file's rule replaces the markers'
    ds.to_netcdf(tmp_path / "m.nc", engine="netcdf4")
    with netCDF4.Dataset(tmp_path / "m.nc") as saved:
        saved.set_auto_mask(False)
        assert {name: saved[name].__dict__ for name in ("x", "y", "column", "row")} == {
            "x": {"units": "um", "long_name": "x in the camera frame", "axis": "X",
                  "standard_name": "projection_x_coordinate"},
            "y": {"units": "um", "long_name": "y in the camera frame, decreasing down the rows",
                  "axis": "Y", "standard_name": "projection_y_coordinate"},
            "column": {"long_name": "camera pixel column"}, "row": {"long_name": "camera pixel row"}}
        assert saved["height"].dimensions == ("y", "x") and np.isnan(saved["height"]._FillValue)
        assert (saved["height"].units, saved["height"].long_name) == ("nm", "height")
        np.testing.assert_array_equal(saved["height"][:], expected)
        np.testing.assert_array_equal(saved["row"][:], [3, 4])
        assert list(saved.pixel_size) == [0.5, 0.25] and saved.pixel_size_units == "um"
        assert (saved.z_scale, saved.z_scale_units, saved.calibration) == (2.0, "nm", "Lab 3")
        assert saved.valid_rule == "nodata: 2147483647"
    with xr.open_dataset(tmp_path / "m.nc", engine="netcdf4") as back:
        xr.testing.assert_identical(back.load(), ds.load())


@pytest.mark.parametrize("options", [{}, {"pixel_size": "2um,1um"}])
def test_row_zero_on_top_of_a_plot(tmp_path, options):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    # Quadrants 3 2 over 1 0: brightest at the top left.
    quadrants = 2 * (np.arange(4)[:, None] < 2) + (np.arange(6) < 3)
    ds = xr.open_dataset(marked_file(tmp_path, quadrants.astype(np.int32)), engine="pdx",
                         **options)
    figure = plt.figure(figsize=(1.2, 1.2), dpi=50)
    try:
        axes = figure.add_axes([0, 0, 1, 1])
        axes.set_axis_off()
        ds.phase.plot.imshow(ax=axes, cmap="gray", add_colorbar=False)
        figure.canvas.draw()
        grey = np.asarray(figure.canvas.buffer_rgba())[..., 0].astype(float)
    finally:
        plt.close(figure)
    h, w = grey.shape
    means = [grey[rows, columns].mean() for rows in (slice(0, h // 2), slice(h // 2, h))
             for columns in (slice(0, w // 2), slice(w // 2, w))]
    assert means == sorted(means, reverse=True) and means[0] > means[3]


def test_height_shares_the_phase_read(tmp_path, monkeypatch):
    reads = []
    read_data_file, read_stack = pdx._core.read_data_file, pdx._core._read_stack
    # The phase blocks read (the campaign's files have intensity frames too).
    monkeypatch.setattr(pdx._core, "read_data_file", lambda path, phase, **kw: reads.extend(
        [path] * phase) or read_data_file(path, phase=phase, **kw))
    monkeypatch.setattr(pdx._core, "_read_stack", lambda paths, phase, *a: reads.extend(
        paths * phase) or read_stack(paths, phase, *a))
    path, paths = marked_file(tmp_path), campaign(tmp_path, 5)
    expected = np.where([[1, 0, 0], [0, 1, 0]], np.nan, MARKED * 0.5).astype(np.float32)
    for ds, count in [
            (xr.open_dataset(path, engine="pdx"), 1),
            (xr.open_dataset(path, engine="pdx", z_scale="0.5nm"), 1),
            (xr.open_dataset(path, engine="pdx", z_scale="0.5nm", drop_variables="phase"), 1),
            (pdx.open_campaign(paths, z_scale="0.5nm", chunks={"file": 5}, decode_cf=False), 5),
            (pdx.open_campaign(paths, z_scale="0.5nm", chunks=None), 5)]:
        assert reads == []
        # Each computation reads each phase block once, for phase and height.
        ds.compute()
        ds = ds.compute()
        assert len(reads) == 2 * count
        reads.clear()
        if "height" in ds:
            assert ds.height.dims[-2:] == ("y", "x") and ds.height.dtype == np.float32
            assert ds.height.attrs == {"units": "nm", "long_name": "height"}
            if count == 1:
                np.testing.assert_array_equal(ds.height, expected)
    assert ds.phase.dtype == np.float32
    np.testing.assert_array_equal(ds.height, ds.phase * np.float32(0.5))
    campaign_counts = pdx.open_campaign(paths, z_scale="0.5nm", decode_cf=False).compute()
    assert campaign_counts.phase.dtype == np.int32
    np.testing.assert_array_equal(campaign_counts.height, ds.height)
    # In dask chunks: phase masked or kept as counts, height beside it or dropped.
    for options, phase in [({}, ds.phase), ({"mask_and_scale": False}, campaign_counts.phase),
                           ({"drop_variables": "height"}, ds.phase)]:
        chunked = pdx.open_campaign(paths, z_scale="0.5nm", **options).compute()
        assert chunked.phase.dtype == phase.dtype and set(chunked) == {"phase", "intensity"} | (
            set() if options.get("drop_variables") else {"height"})
        xr.testing.assert_identical(chunked.phase, phase)
    # Samples kept for height are not handed out again: a file read anew
    # shows its samples of now.
    ds = xr.open_dataset(path, engine="pdx", z_scale="0.5nm", cache=False)
    ds.phase.values, ds.height.values
    marked_file(tmp_path, -MARKED)
    np.testing.assert_array_equal(ds.phase, np.where(np.isnan(expected), np.nan,
                                                     -MARKED.astype(np.float32)))
    np.testing.assert_array_equal(ds.height[1], -expected[1])  # not the phase map kept


@pytest.mark.parametrize("blocks, drop, files", [
    ({}, None, 4 << 20),
    ({"phase": (512, 512)}, None, 4),
    ({"phase": (512, 512), "intensity": (3, 512, 512)}, None, 2),
    ({"phase": (512, 512), "intensity": (3, 512, 512)}, "intensity", 4),
    ({"phase": (512, 512), "intensity": (3, 512, 512)}, "phase", 2),
    ({"phase": (1024, 2048)}, None, 1),  # a file past a chunk's bytes
])
def test_files_per_chunk(tmp_path, blocks, drop, files):
    path = tmp_path / "m.dat"
    path.write_bytes(data_file(4096, *(None if b not in blocks else np.zeros(
        blocks[b], np.int32 if b == "phase" else np.uint16) for b in ("intensity", "phase"))))
    assert pdx.xarray_backend.files_per_chunk(path, drop) == files
    if drop is None and "intensity" not in blocks:  # height in the dropped phase's room
        ds = pdx.open_campaign([path] * 2, drop_variables="phase", z_scale="1nm")
        assert ds.height.chunks[0] == ((2,) if files > 1 else (1, 1))


@pytest.mark.parametrize("fields, drop, kept", [
    ([(52, "h", -5), (56, "h", 0)], "intensity", "phase"),  # width -5, no frame
    ([(68, "h", -5)], "phase", "intensity"),
])
def test_damaged_header_of_a_dropped_block(tmp_path, fields, drop, kept):
    path = tmp_path / "m.dat"
    path.write_bytes(data_file(834, np.ones((2, 2, 3), np.uint16),
                               np.arange(6, dtype=np.int32).reshape(2, 3), fields=fields))
    for opened in (path, [path]):  # one file, and a campaign of it
        with pytest.raises(pdx.Error):
            xr.open_dataset(opened, engine="pdx")
        if drop == "phase":
            with pytest.raises(pdx.Error):  # height reads the phase block
                xr.open_dataset(opened, engine="pdx", drop_variables=drop, z_scale="1nm")
    f = pdx.read_data_file(path, **{drop: False})
    single = xr.open_dataset(path, engine="pdx", drop_variables=drop)
    stacked = pdx.open_campaign([path], drop_variables=[drop, "height"], z_scale="1nm")
    checked = pdx.open_campaign([path], drop_variables=drop, errors="skip")
    for samples in (single[kept], stacked[kept][0], checked[kept][0]):
        np.testing.assert_array_equal(samples, getattr(f, kept))
    with pytest.raises(pdx.Error):  # the chunks of a damaged block kept
        pdx.xarray_backend.files_per_chunk(path, None)


@pytest.mark.parametrize("content, can_open", [
    (None, False), (b"\x88\x1b\x03", False), (b"CDF\x01 a netCDF file", False),
    (data_file(834), True), (data_file(4096), True)])
def test_guess_can_open(tmp_path, content, can_open):
    path = tmp_path / "f.dat"
    if content is not None:
        path.write_bytes(content)
    assert xr.backends.list_engines()["pdx"].guess_can_open(path) == can_open


@pytest.mark.parametrize("fields, variable, found", [
    ([(68, "h", 2), (70, "h", 3)], "phase", r"phase \(3, 2\) at \(0, 0\)"),
    ([(64, "h", 7)], "phase", r"phase \(2, 3\) at \(7, 0\)"),  # x would be stale
    ([(50, "h", 1)], "intensity", r"intensity \(1, 2, 3\) at \(0, 1\)"),
])
def test_file_changed_after_open(tmp_path, fields, variable, found):
    path = tmp_path / "m.dat"
    blocks = np.ones((1, 2, 3), np.uint16), np.ones((2, 3), np.int32)
    path.write_bytes(data_file(834, *blocks))
    ds = xr.open_dataset(path, engine="pdx")
    path.write_bytes(data_file(834, *blocks, fields=fields))
    with pytest.raises(OSError, match="changed since it was opened: %s, not" % found):
        ds[variable].values
    path.unlink()
    with pytest.raises(pdx.Error, match="ERR_CANT_OPEN_FILE"):
        ds.phase.values


def campaign(tmp_path, count, first=0, frames=1, origin=(3, 4)):
    """Files c<first>.dat ... of one layout, each with its own samples."""
    paths = []
    for i in range(first, first + count):
        paths.append(tmp_path / ("c%d.dat" % i))
        paths[-1].write_bytes(data_file(
            4096, np.full((frames, 2, 3), i, np.uint16),
            np.arange(6, dtype=np.int32).reshape(2, 3) * (i - 2),
            fields=[(48, "h", origin[0]), (50, "h", origin[1]), (64, "h", origin[0]),
                    (66, "h", origin[1])]))
    return paths


def test_campaign_is_its_files(tmp_path):
    paths = campaign(tmp_path, 5)
    # Frames filled only in part: 4 of the 6 samples in the block, the rest 0.
    short = bytearray(paths[3].read_bytes())
    struct.pack_into(">i", short, 60, 8)
    paths[3].write_bytes(short[:4096 + 8] + short[4096 + 12:])
    files = [pdx.read_data_file(p) for p in paths]
    assert files[3].intensity.tolist() == [[[3, 3, 3], [3, 0, 0]]]
    blocks, descriptors = pdx._testing.live_blocks(), len(os.listdir("/proc/self/fd"))
    ds = xr.open_dataset([str(p) for p in paths], engine="pdx")
    assert pdx._testing.live_blocks() == blocks and len(os.listdir("/proc/self/fd")) == descriptors
    assert ds.phase.dims == ("file", "y", "x") and ds.intensity.dims == ("file", "frame", "y", "x")
    assert list(ds.file.values) == [os.path.abspath(p) for p in paths]
    np.testing.assert_array_equal(ds.x, [3, 4, 5])
    np.testing.assert_array_equal(ds.y, [-4, -5])
    assert ds.attrs == {"header_length": 4096, "intensity_tag": 0,
                        "valid_rule": "invalid: |count| >= 2**30 (markers)"}
    # Parts read as indexed, before the whole is cached.
    np.testing.assert_array_equal(ds.phase.isel(file=[4, 1], x=2),
                                  [files[4].phase[:, 2], files[1].phase[:, 2]])
    np.testing.assert_array_equal(ds.phase[2:, 1:, ::2], [f.phase[1:, ::2] for f in files[2:]])
    np.testing.assert_array_equal(ds.phase, [f.phase for f in files])
    np.testing.assert_array_equal(ds.intensity, [f.intensity for f in files])
    assert pdx._testing.live_blocks() == blocks and len(os.listdir("/proc/self/fd")) == descriptors

    chunked = pdx.open_campaign(paths, chunks={"file": 2}, valid=(-4, 4),
                                drop_variables="intensity")
    assert set(chunked.variables) == {"phase", "file", "y", "x", "row", "column"}
    assert chunked.phase.chunks == ((2, 2, 1), (2,), (3,))
    expected = np.array([f.phase for f in files], np.float32)
    expected[np.abs(expected) > 4] = np.nan
    again = pickle.loads(pickle.dumps(chunked))
    np.testing.assert_array_equal(again.phase.mean(("y", "x")), np.nanmean(expected, (1, 2)))
    assert pdx.open_campaign(paths).phase.chunks[0] == (5,)  # a few files to a chunk
    assert xr.open_dataset(paths, engine="pdx", chunks={}).phase.chunks[0] == (1,) * 5


@pytest.mark.parametrize("change, drop, error", [
    (dict(origin=(3, 5)), None, r"c1.dat' differs from '.*c0.dat': phase \(2, 3\) at \(3, 5\), not "
     r"phase \(2, 3\) at \(3, 4\) \(pdx.group_by_layout parts files by layout\)$"),
    (dict(origin=(3, 5)), "phase", r"c1.dat' differs .*: phase \(2, 3\) at \(3, 5\), not"),  # height
    (dict(frames=2), None, r"c1.dat' differs .*: intensity \(2, 2, 3\) at \(3, 4\), not"),
    (dict(frames=2), "intensity", None),
    (dict(frames=0), None, None),  # not every file has frames: no intensity
])
def test_campaign_of_different_files(tmp_path, change, drop, error):
    paths = campaign(tmp_path, 1) + campaign(tmp_path, 2, first=1, **change)
    if error:
        with pytest.raises(ValueError, match=error):
            pdx.open_campaign(paths, drop_variables=drop, z_scale="1nm")
    else:
        ds = pdx.open_campaign(paths, drop_variables=drop, z_scale="1nm")
        assert "intensity" not in ds and ds.height.shape == (3, 2, 3)


def test_campaign_with_damaged_files(tmp_path):
    paths = [str(p) for p in campaign(tmp_path, 5)] + [str(tmp_path / "gone.dat")]
    content = open(paths[1], "rb").read()
    open(paths[1], "wb").write(content[:-4])  # cut short within the phase block
    open(paths[3], "wb").write(content[:100])  # within the header
    faults = {paths[1]: "ERR_CORRUPT_DATA_FILE", paths[3]: "ERR_PREMATURE_EOF",
              paths[5]: "ERR_CANT_OPEN_FILE"}
    good = [paths[i] for i in (0, 2, 4)]
    # Found when opened, not when computed; the first in order raises.
    for opener in (pdx.open_campaign, lambda p: xr.open_dataset(p, engine="pdx")):
        with pytest.raises(pdx.Error, match="c1.dat' failed: ERR_CORRUPT_DATA_FILE"):
            opener(paths)
    for opener in (lambda p: pdx.open_campaign(p, errors="skip", z_scale="1nm"),
                   lambda p: xr.open_dataset(p, engine="pdx", errors="skip", chunks=None)):
        with pytest.warns(pdx.SkippedFilesWarning) as caught:
            ds = opener(paths)
        assert caught[0].message.skipped == faults
        assert str(caught[0].message) == "3 files left out, not readable:\n  " + "\n  ".join(
            "%s: %s" % f for f in faults.items())
        # The caller's line, not the package's.
        assert (caught[0].filename, caught[0].lineno) == (__file__, opener.__code__.co_firstlineno)
        assert ds.attrs["skipped_files"] == "\n".join("%s: %s" % f for f in faults.items())
        assert list(ds.file.values) == good
        np.testing.assert_array_equal(ds.phase, [pdx.read_data_file(p).phase for p in good])
    with pytest.raises(pdx.Error) as missing:
        pdx.open_campaign(paths[5:])
    assert str(missing.value) == "reading '%s' failed: ERR_CANT_OPEN_FILE" % paths[5]
    assert (missing.value.filename, missing.value.errno) == (paths[5], errno.ENOENT)
    for opener in (pdx.open_campaign, lambda p, **kw: xr.open_dataset(p, engine="pdx", **kw)):
        with pytest.raises(ValueError, match="^no file of the campaign reads: .*c1.dat: ERR_CORR"):
            opener([paths[1], paths[3]], errors="skip")
    with pytest.raises(ValueError, match="errors is 'raise' or 'skip'"):
        pdx.open_campaign(paths, errors="ignore")


@pytest.mark.parametrize("drop, groups", [
    (None, [[0, 1, 2, 6], [3, 4], [5]]),
    ("intensity", [[0, 1, 2, 3, 4, 6], [5]]),
])
def test_group_by_layout(tmp_path, drop, groups):
    paths = (campaign(tmp_path, 3) + campaign(tmp_path, 2, first=3, frames=2)
             + campaign(tmp_path, 1, first=5, origin=(3, 5)) + campaign(tmp_path, 1, first=6))
    found = pdx.group_by_layout(paths, drop_variables=drop)
    assert found == [[paths[i] for i in g] for g in groups]
    for group in found:
        assert pdx.open_campaign(group, drop_variables=drop).phase.shape == (len(group), 2, 3)
    paths[1].write_bytes(paths[1].read_bytes()[:-1])
    with pytest.warns(pdx.SkippedFilesWarning, match="^1 file left out, not readable:\n  "
                      ".*c1.dat: ERR_CORRUPT_DATA_FILE$") as caught:
        assert pdx.group_by_layout(paths, drop_variables=drop, errors="skip")[0][:2] == paths[0:3:2]
    assert caught[0].filename == __file__


# One layout field changed in the last file, the rest as the others'.
@pytest.mark.parametrize("intensity, phase, fields, block", [
    ((1, 2, 4), (2, 3), (), "intensity"),  # width
    ((1, 3, 3), (2, 3), (), "intensity"),  # height
    ((1, 2, 3), (2, 3), [(48, "h", 1)], "intensity"),  # x
    ((1, 2, 3), (2, 3), [(50, "h", 1)], "intensity"),  # y
    ((1, 2, 3), (2, 4), (), "phase"),
    ((1, 2, 3), (3, 3), (), "phase"),
    ((1, 2, 3), (2, 3), [(64, "h", 1)], "phase"),
    ((1, 2, 3), (2, 3), [(66, "h", 1)], "phase"),
])
def test_campaign_files_differing_in_one_field(tmp_path, intensity, phase, fields, block):
    layouts = [((1, 2, 3), (2, 3), ()), (intensity, phase, fields)] * 2
    paths = []
    for i, (ishape, pshape, changed) in enumerate(layouts):
        paths.append(str(tmp_path / ("d%d.dat" % i)))
        open(paths[-1], "wb").write(data_file(4096, np.ones(ishape, np.uint16),
                                              np.ones(pshape, np.int32), changed))
    other = "phase" if block == "intensity" else "intensity"
    dropped = [block] if block == "intensity" else ["phase", "height"]
    assert pdx.group_by_layout(paths) == [paths[::2], paths[1::2]]
    assert pdx.group_by_layout(paths, drop_variables=dropped) == [paths]
    with pytest.raises(ValueError, match=r"d1.dat' differs from .*d0.dat': %s" % block):
        pdx.open_campaign(paths, drop_variables=other)
    kept = pdx.open_campaign(paths, drop_variables=dropped)[other]
    assert kept.shape[0] == 4 and kept.dims[-1] == "x"  # as named in the first file


@pytest.mark.parametrize("form", [str, os.fsencode, pathlib.Path, lambda p: Named(p)])
def test_campaign_paths_in_every_form(tmp_path, form):
    paths = [str(p) for p in campaign(tmp_path, 3)]
    open(paths[1], "wb").write(b"\x88\x1b\x03\x71")  # a header cut short
    given = [form(p) for p in paths]
    with pytest.raises(pdx.Error, match="c1.dat' failed: ERR_PREMATURE_EOF"):
        pdx.open_campaign(given)
    assert pdx.campaign.check(given) == ([given[0], given[2]], {paths[1]: "ERR_PREMATURE_EOF"})
    with pytest.warns(pdx.SkippedFilesWarning, match="c1.dat: ERR_PREMATURE_EOF"):
        assert pdx.group_by_layout(given, errors="skip") == [[given[0], given[2]]]
    with pytest.warns(pdx.SkippedFilesWarning):
        ds = pdx.open_campaign(given, errors="skip")
    assert list(ds.file.values) == [paths[0], paths[2]]


class Named:
    """A path as an object of the caller's own that knows its path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_campaign_file_changed_after_open(tmp_path):
    paths = campaign(tmp_path, 3)
    content = paths[1].read_bytes()
    ds = pdx.open_campaign(paths, chunks=None)
    paths[1].write_bytes(data_file(834, phase=np.ones((3, 2), np.int32)))
    with pytest.raises(OSError, match=r"c1.dat' changed since it was opened: "
                                      r"phase \(3, 2\) at \(0, 0\), not phase \(2, 3\) at \(3, 4\)"):
        ds.phase.values
    with pytest.raises(OSError, match=r"c1.dat' changed since it was opened: "
                                      r"intensity \(0, 0, 0\) at \(0, 0\), not intensity \(1, 2, 3\)"):
        ds.intensity.values
    paths[1].write_bytes(content[:-4])  # cut short within the samples
    with pytest.raises(pdx.Error, match="^reading '.*c1.dat' failed: ERR_CORRUPT_DATA_FILE"):
        ds.phase.mean().values
    paths[1].write_bytes(content[:68] + b"\xff\xfb" + content[70:])  # width -5
    with pytest.raises(pdx.Error, match="^reading '.*c1.dat' failed: ERR_DATASET_DIM_TOO_LARGE"):
        ds.phase.values
    paths[2].unlink()
    with pytest.raises(pdx.Error, match="^reading '.*c2.dat' failed: ERR_CANT_OPEN_FILE"):
        ds.phase[2].values
    np.testing.assert_array_equal(ds.phase[0], pdx.read_data_file(paths[0]).phase)
    with pytest.raises(ValueError, match="^the pdx engine needs at least one path$"):
        pdx.open_campaign([])


@pytest.mark.parametrize("offset, writeable, dtype", [(1, True, np.int32), (0, False, np.int32),
                                                     (1, True, np.uint16)])
def test_campaign_rows_refused_unless_safe_to_write(tmp_path, offset, writeable, dtype):
    phase = dtype == np.int32
    out = np.zeros(25, np.uint8)[offset:offset + 24].view(dtype)
    out = out.reshape((1, 2, 3) if phase else (1, 2, 2, 3))
    out.setflags(write=writeable)
    what = ("int32 array (files, height, width)" if phase
            else "uint16 array (files, frames, height, width)")
    with pytest.raises(ValueError) as refused:
        pdx._core._read_stack(campaign(tmp_path, 1), phase, (3, 4), out)
    assert str(refused.value) == ("_read_stack needs a writeable, aligned, C-contiguous %s with one "
                                  "row per path" % what)


# Shapes and origins past what a data file can hold.
@pytest.mark.parametrize("phase, origin, shape", [(True, (32768, 0), (1, 2, 3)),
                                                  (True, (0, -32769), (1, 2, 3)),
                                                  (False, (3, 4), (1, 32768, 1, 1))])
def test_campaign_rows_refused_past_the_format(tmp_path, phase, origin, shape):
    out = np.zeros(shape, np.int32 if phase else np.uint16)
    with pytest.raises(ValueError, match="^_read_stack: no data file holds a block of that shape "
                                         "or origin$"):
        pdx._core._read_stack(campaign(tmp_path, 1), phase, origin, out)
    pdx._core._read_stack([], True, (0, 0), np.zeros((0, 2, 3), np.int32))  # nothing to read


def test_campaign_of_small_files_announcing_huge_frames_stays_small_in_memory(tmp_path):
    # 4 KiB files announcing one 32767 x 32767 frame (2 GiB) and holding one
    # sample: the rest reads as zero without being written.
    paths = []
    for i in range(3):
        paths.append(str(tmp_path / ("h%d.dat" % i)))
        with open(paths[-1], "wb") as f:
            f.write(data_file(4096, fields=[(52, "h", 32767), (54, "h", 32767), (56, "h", 1),
                                            (60, "i", 2)]) + struct.pack(">H", i + 1))
    child = """if True:
        import sys, pdx
        def kib(field):
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) for l in status if l.startswith(field + ":"))
        ds = pdx.open_campaign(sys.argv[1:])
        before = kib("VmRSS")
        print(ds.intensity.sum().compute().item(), kib("VmHWM") - before)"""
    total, grown_kib = map(int, subprocess.run([sys.executable, "-c", child, *paths], check=True,
                                               capture_output=True, text=True).stdout.split())
    assert total == 6
    # AddressSanitizer's own records of a block grow with its size.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert grown_kib < 100 * 1024


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
        stacked = pdx.open_campaign(paths, chunks={"file": 3}).phase.mean(("y", "x")).compute()
    np.testing.assert_array_equal(means, 9.5 * np.arange(8))
    np.testing.assert_array_equal(stacked, means)
    np.testing.assert_array_equal(peaks, np.arange(8))

    ds.to_netcdf(tmp_path / "campaign.nc", engine="netcdf4")
    with xr.open_dataset(tmp_path / "campaign.nc", engine="netcdf4") as saved:
        xr.testing.assert_identical(saved.load(), ds.load())
