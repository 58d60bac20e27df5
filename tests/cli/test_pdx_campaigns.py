"""Campaigns through the pdx command: folders given as inputs (data files
told by their magic number, natural order, -r, outputs mirrored under -o,
a folder that cannot be listed), re-runs with -u and -n, the progress line
on a terminal and a standard output that refuses writes."""

import errno
import fcntl
import json
import os
import pathlib
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import tty

import numpy as np
import pytest

PDX = os.environ["PDX_EXE"]
SOURCE = os.environ["PDX_SOURCE_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "examples"))
from make_campaign import data_file  # noqa: E402


def pdx(cwd, *args):
    return subprocess.run([PDX, *args], cwd=cwd, capture_output=True, text=True)


def write(path, value, shape=(3, 4)):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data_file(np.full(shape, value, np.int32)))


@pytest.fixture
def campaign(tmp_path):
    """Data files under odd names and cases, others that are not."""
    c = tmp_path / "c"
    for i, name in enumerate(["run10.dat", "run2.DAT", "Run3.bin", "run002a", "sub/run1.dat",
                              "sub/run2.dat", "sub/deeper/x.dat", "runA.dat", "run_.dat"]):
        write(c / name, i)
    (c / "notes.txt").write_text("not a data file")
    (c / "empty.dat").write_bytes(b"")
    return c


@pytest.mark.parametrize("args,files", [
    (["c"], ["run2.DAT", "run002a", "Run3.bin", "run10.dat", "run_.dat", "runA.dat"]),
    (["-r", "c"], ["run2.DAT", "run002a", "Run3.bin", "run10.dat", "run_.dat", "runA.dat",
                   "sub/deeper/x.dat", "sub/run1.dat", "sub/run2.dat"]),
    (["c/sub", "c/run10.dat"], ["sub/run1.dat", "sub/run2.dat", "run10.dat"]),
])
def test_folders_listed_in_natural_order(campaign, args, files):
    run = pdx(campaign.parent, "info", "--json", *args)
    assert run.returncode == 0, run.stderr
    names = [json.loads(line)["file"] for line in run.stdout.splitlines()]
    assert [os.path.relpath(n, "c").replace(os.sep, "/") for n in names] == files


def test_natural_order_of_names_alike(tmp_path):
    # Equal but for case or leading zeros: by their bytes; a name that
    # begins another: first.
    names = ["run1x.dat", "run10.dat", "run1.dat.dat", "b.dat", "run9.dat", "run1.dat", "B.dat",
             "run01.dat", "Z.dat", "y.dat", "run00", "a", "a.a", "C.c", "c"]
    order = ["a", "a.a", "B.dat", "b.dat", "c", "C.c", "run00", "run01.dat", "run1.dat",
             "run1.dat.dat", "run1x.dat", "run9.dat", "run10.dat", "y.dat", "Z.dat"]
    for i, name in enumerate(names):
        write(tmp_path / "t" / name, i)
    run = pdx(tmp_path, "info", "--json", "t")
    assert [os.path.basename(json.loads(line)["file"]) for line in run.stdout.splitlines()] == order


def test_outputs_mirror_subfolders(campaign):
    out = campaign.parent / "out"
    out.mkdir()
    run = pdx(campaign.parent, "export", "--to", "npy", "-r", "-q", "-o", "out", "c")
    assert run.returncode == 0, run.stderr
    for name, value in [("run10.npy", 0), ("sub/run2.npy", 5), ("sub/deeper/x.npy", 6),
                        ("run2.npy", 1)]:
        assert (np.load(out / name) == value).all(), name
    # Without -o, each output is beside its input, in the subfolder.
    assert pdx(campaign.parent, "export", "--to", "npy", "-r", "-q", "c").returncode == 0
    assert (np.load(campaign / "sub" / "deeper" / "x.npy") == 6).all()
    # A mirrored output is still checked against every input: here it would
    # be the data file sub/x.npy itself.
    write(campaign / "sub" / "x.npy", 9)
    run = pdx(campaign.parent, "export", "--to", "npy", "-r", "-f", "-o", "c", "c")
    assert run.returncode == 3
    assert 'would replace the input "c/sub/x.npy"' in run.stderr
    assert (campaign / "sub" / "x.npy").read_bytes()[:4] == b"\x88\x1b\x03\x71"


def test_folder_without_data_files(tmp_path):
    (tmp_path / "empty" / "sub").mkdir(parents=True)
    write(tmp_path / "empty" / "sub" / "a.dat", 1)
    run = pdx(tmp_path, "info", "empty")
    assert (run.returncode, run.stdout) == (2, "empty: is a folder with no data files in it\n")
    assert pdx(tmp_path, "info", "-r", "empty").returncode == 0


def mtime(path, seconds):
    os.utime(path, (seconds, seconds))


@pytest.mark.parametrize("option,converted,skipped,status", [
    ([], 1, 0, 3),                 # the new file; the others "already exist"
    (["-u"], 2, 2, 0),             # the new file and the one changed since
    (["--update"], 2, 2, 0),
    (["-n"], 1, 3, 0),             # only the new file: no times compared
    (["--no-clobber"], 1, 3, 0),
    (["-f"], 4, 0, 0),
])
def test_reruns_do_only_what_is_new(tmp_path, option, converted, skipped, status):
    c = tmp_path / "c"
    for i in range(3):
        write(c / f"m{i}.dat", i)
    first = pdx(tmp_path, "convert", "-q", "c")
    assert first.returncode == 0, first.stderr
    for i in range(3):
        mtime(c / f"m{i}.dat", 1_000_000)
        mtime(c / f"m{i}.bin", 2_000_000)
    mtime(c / "m2.bin", 1_000_000)        # as new as its input: current
    write(c / "m1.dat", 11)               # changed after its output
    mtime(c / "m1.dat", 3_000_000)
    write(c / "m3.dat", 3)                # new
    run = pdx(tmp_path, "convert", "-q", *option, "c")
    assert run.returncode == status, run.stderr
    summary = run.stderr.splitlines()[-1]
    expect = f"pdx: 4 files, {converted} converted, "
    expect += f"{skipped} skipped, " if skipped else ""
    assert summary == expect + f"{4 - converted - skipped} failed"
    m1 = np.frombuffer((c / "m1.bin").read_bytes()[4:], "<i4")
    assert (m1 == (11 if option in (["-u"], ["--update"], ["-f"]) else 1)).all()
    assert (c / "m3.bin").exists()


@pytest.mark.parametrize("args, other", [(["-n", "-f"], "-f"), (["-u", "-n"], "-u")])
def test_no_clobber_alone(tmp_path, args, other):
    run = pdx(tmp_path, "convert", *args, "x.dat")
    assert run.returncode == 1 and run.stderr == (
        "pdx convert: -n keeps every output there already: it is not taken with %s\n"
        "Try 'pdx convert --help'.\n" % other)


# Each command takes its own options alone: another command's is unknown,
# even last, where one taking a value would miss it.
@pytest.mark.parametrize("command, option", [
    ("info", "-u"), ("report", "--update"), ("info", "-n"), ("report", "--no-clobber"),
    ("info", "-f"), ("info", "-o"), ("convert", "--json"), ("export", "--stats"), ("export", "-b"),
    ("report", "-b"), ("convert", "--to"), ("report", "--enlarge"), ("info", "--size"),
    ("convert", "--size"),
])
def test_options_of_other_commands(tmp_path, command, option):
    run = pdx(tmp_path, command, "x.dat", option)
    assert (run.returncode, run.stderr) == (
        1, "pdx %s: unknown option \"%s\"\nTry 'pdx %s --help'.\n" % (command, option, command))


# -j is the number of workers, -j1 too (not the default, one a CPU): the
# process's threads, looked at while the files convert, are the main one
# and the workers.
@pytest.mark.skipif(not os.path.isdir("/proc/self/task") or (os.cpu_count() or 1) < 2,
                    reason="needs /proc and two CPUs, where the default is more than one")
@pytest.mark.parametrize("jobs, threads", [("1", 2), ("2", 3)])
def test_jobs_workers(tmp_path, jobs, threads):
    for i in range(6):
        write(tmp_path / "in" / ("%d.dat" % i), i, (1000, 1000))
    (tmp_path / "out").mkdir()
    run = subprocess.Popen([PDX, "convert", "-q", "-j", jobs, "-o", "out", "in"], cwd=tmp_path,
                           stderr=subprocess.PIPE)
    seen = 0
    while run.poll() is None:
        try:
            seen = max(seen, len(os.listdir("/proc/%d/task" % run.pid)))
        except FileNotFoundError:
            break
    assert run.wait() == 0, run.stderr.read()
    assert seen == threads


@pytest.mark.parametrize("rule,options", [
    ({}, []), ({"valid": (-100, 3000)}, ["--valid", "-100:3000"]), ({"nodata": [2]}, ["--nodata", "2"]),
    # More nodata values than the library keeps: the table is made here.
    ({"nodata": [2] + list(range(-2**31, 17 - 2**31))}, ["--nodata", "2"]),
])
def test_scan_agrees_with_info(tmp_path, rule, options):
    pdx_module = pytest.importorskip("pdx")
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    for i in range(4):
        a = rng.integers(-500, 4000, (20 + i, 30)).astype(np.int32)
        a[rng.random(a.shape) < 0.1] = 2**31 - 1
        a[0, :3] = 2
        (tmp_path / ("m%d.dat" % i)).write_bytes(data_file(a, x=i, y=2 * i))
    (tmp_path / "m4.dat").write_bytes(data_file(np.array([[7]], np.int32)))   # one sample
    (tmp_path / "m5.dat").write_bytes(data_file(np.zeros((0, 0), np.int32)))  # no phase map
    good = (tmp_path / "m0.dat").read_bytes()
    (tmp_path / "m8.dat").write_bytes(good[:-3])
    (tmp_path / "m9.dat").write_bytes(good[:50])
    paths = [str(tmp_path / ("m%d.dat" % i)) for i in (0, 1, 2, 3, 4, 5, 8, 9)] + ["gone.dat"]
    run = pdx(tmp_path, "info", "--json", "--stats", "-j", "2", *options, *paths)
    records = [json.loads(line) for line in run.stdout.splitlines()]
    for threads in (1, 2):
        table = pdx_module.scan(paths, threads=threads, **rule)
        assert table.path.tolist() == paths
        for r, (_, row) in zip(records, table.iterrows()):
            # A missing file is the module's ERR_CANT_OPEN_FILE.
            error = r["error"] or (None if r["exists"] else "ERR_CANT_OPEN_FILE")
            assert (row.reads, row.error) == (r["reads"], error), r
            if r["reads"] and r["phase"] is None:
                assert pd.isna(row["count"]) and pd.isna(row["min"]) and row.width == 0
            elif r["reads"]:
                s, p = r["stats"], r["phase"]
                assert (row.width, row.height, row.x, row.y) == (p["width"], p["height"],
                                                                  p["x"], p["y"])
                assert (row["count"], row.valid, row["min"], row["max"]) == (
                    s["count"], s["valid"], s["min"], s["max"])
                assert (row["mean"], row["std"], row.valid_percent) == pytest.approx(
                    (s["mean"], s["std"], s["valid_percent"]), rel=1e-12)
    for threads in (None, -1):  # -1: one thread
        checked = pdx_module.scan(paths, stats=False, threads=threads)
        pd.testing.assert_frame_equal(checked, table[pdx_module.scan_table.COLUMNS[:9]])
    assert pdx_module.scan([], stats=False, threads=2).empty


@pytest.mark.parametrize("rule", [
    {}, {"valid": "all"}, {"valid": (-0.5, 2.5)}, {"valid": (2.2, 2.8)},
    {"valid": (float("-inf"), float("inf")), "nodata": [5, 5, 2**31 - 1]},
    {"valid": (-2**40, 2**33), "nodata": 7}, {"valid": (3, None), "nodata": list(range(1, 21))},
    # Bounds at and just past the 32-bit ends, one value, nodata on the bounds.
    {"valid": (-3e9, 3e9)}, {"valid": (0.5 - 2**31, 2**31 - 1.5)}, {"valid": (2**31 - 1, None)},
    {"valid": (2**31 - 0.5, None)}, {"valid": (None, -2**31)}, {"valid": (None, -0.5 - 2**31)},
    {"valid": (1.5, 2)}, {"valid": (3, 10), "nodata": [3, 10]}, {"nodata": list(range(4, 21))},
])
def test_scan_rules_the_library_takes(tmp_path, rule):
    """Bounds that are no 32-bit integers, ranges holding no sample and more
    nodata values than the library keeps, against numpy; threads beyond the
    files, and no files."""
    pdx_module = pytest.importorskip("pdx")
    pytest.importorskip("pandas")
    a = np.arange(-3, 27, dtype=np.int32).reshape(5, 6)
    a[0, 0], a[0, 1] = 2**31 - 1, -2**31
    (tmp_path / "a.dat").write_bytes(data_file(a))
    v = a[pdx_module.valid_mask(a, **rule)].astype(np.float64)
    for threads in (1, 8):
        table = pdx_module.scan([str(tmp_path / "a.dat")] * 3, threads=threads, **rule)
        assert table.reads.all() and table.valid.tolist() == [v.size] * 3
        assert table["count"].tolist() == [a.size] * 3
        assert table.valid_percent.tolist() == pytest.approx([100 * v.size / a.size] * 3)
        got = table[["min", "max", "mean", "std"]]
        if v.size:
            assert got.values.astype(float).ravel().tolist() == pytest.approx(
                [v.min(), v.max(), v.mean(), v.std()] * 3, rel=1e-12)
        else:
            assert got.isna().all().all()
    none = pdx_module.scan([], threads=2)
    assert none.empty and none.columns.tolist() == pdx_module.scan_table.COLUMNS


def test_progress_line_on_a_terminal(tmp_path):
    # Through a terminal, the progress line is redrawn in place, blanked out
    # to its widest before each message and at the end, and -q leaves it out.
    for i in range(1500):
        write(tmp_path / "t" / ("r%d.dat" % i), i, (1, 1))
    (tmp_path / "t" / "r700.dat").write_bytes(b"\x88\x1b\x03\x71")  # a header cut short
    for quiet in ([], ["-q"]):
        status, err = _on_terminal(tmp_path, "info", "-j1", *quiet, "t")
        assert status == 4
        lines = ('pdx: "t/r700.dat": read: ERR_PREMATURE_EOF\n'
                 "pdx: 1500 files, 1499 read, 1 failed\n")
        if quiet:
            assert err.decode() == lines
            continue
        width = 0
        parts = re.findall(rb"\r +\r|\r\d[^\r\n]*|[^\r]*\n", err)
        assert b"".join(parts) == err
        for part in parts:
            if part.endswith(b"\n"):
                assert width == 0, part  # blanked out before a message
            elif part.endswith(b"\r"):
                assert part == b"\r" + b" " * width + b"\r" and width > 0
                width = 0
            else:
                line = part[1:].rstrip(b" ")
                assert re.fullmatch(rb"\d+/1500 files(, \d+ files/s, (\d+ s|\d+(:\d\d){1,2}) left)?",
                                    line), part
                assert len(part) - 1 == max(width, len(line))
                width = max(width, len(line))
        assert b"".join(p for p in parts if p.endswith(b"\n")).decode() == lines
        assert parts[0].startswith(b"\r")  # drawn at once


def test_progress_line_of_one_file(tmp_path):
    # A run of one file has its line too, drawn at once while the file is
    # read (16 MiB: far longer than the drawing thread takes to start).
    write(tmp_path / "big.dat", 0, (2048, 2048))
    status, err = _on_terminal(tmp_path, "info", "--stats", "big.dat")
    assert status == 0 and re.fullmatch(rb"\r0/1 files *(\r[^\r]*)*\r +\r", err), err


def _on_terminal(cwd, *args):
    """Runs pdx with a terminal as its standard error: the status, and
    the bytes it drew there."""
    primary, secondary = pty.openpty()
    tty.setraw(secondary)
    run = subprocess.Popen([PDX, *args], cwd=cwd, stdout=subprocess.DEVNULL, stderr=secondary)
    os.close(secondary)
    err = b""
    while chunk := _read(primary):
        err += chunk
    os.close(primary)
    return run.wait(), err


def _read(fd):
    try:
        return os.read(fd, 65536)
    except OSError:  # the terminal's other end is closed
        return b""


def test_standard_output_refusing_writes(tmp_path):
    # A memory file sealed against writing refuses them with EPERM: the run
    # says so, with the system's own words, and ends with status 6.
    write(tmp_path / "m.dat", 1)
    fd = os.memfd_create("out", os.MFD_ALLOW_SEALING)
    fcntl.fcntl(fd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_WRITE)
    run = subprocess.run([PDX, "info", "m.dat"], cwd=tmp_path, stdout=fd, stderr=subprocess.PIPE,
                         text=True)
    os.close(fd)
    assert (run.returncode, run.stderr) == (6, "pdx: standard output: %s\n" % os.strerror(1))


def test_folder_that_cannot_be_listed():
    # A subfolder the user may not read is named; the rest is still read,
    # and the run ends with status 4. As root, run as nobody.
    cmd = [PDX, "info", "-r", "c"]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv (util-linux) is needed to run as another user")
        cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *cmd]
    base = pathlib.Path(tempfile.mkdtemp())
    try:
        base.chmod(0o755)
        write(base / "c" / "a.dat", 1)
        write(base / "c" / "locked" / "b.dat", 2)
        (base / "c" / "locked").chmod(0)
        run = subprocess.run(cmd, cwd=base, capture_output=True, text=True)
        assert (run.returncode, run.stderr) == (
            4, 'pdx: "c/locked": folder: cannot be listed: %s\n' % os.strerror(errno.EACCES))
        assert run.stdout.startswith("c/a.dat: reads\n")
    finally:
        (base / "c" / "locked").chmod(0o755)
        shutil.rmtree(base)
