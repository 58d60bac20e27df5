#!/usr/bin/python3
"""Reading a phase map into numpy: the pdx module against the alternatives.

Writes one data file (4096-byte header, one intensity frame, a side x side
phase block; default side 4096, a 64 MiB phase block), then times, warm
cache, RUNS reads of its phase map (in rounds, one read by each reader per
round, the order rotating) by:

  library   data_file_read from C++ (bench/pdx_read_time), the floor
  module    pdx.read_data_file(path, intensity=False)
  command   pdx_convert to a temporary file, then np.fromfile of it
  numpy     a pure-numpy parser: header fields with np.frombuffer, the
            block with np.fromfile(offset=...), converted to native int32

and checks that all of them give the same map. Prints a Markdown table.

Usage: /usr/bin/python3 bench/python_read.py [BUILD_DIR]   (default build/default)

Environment: PDX_BENCH_DIR (where the files go, default /tmp), PDX_BENCH_SIDE
(default 4096), PDX_BENCH_RUNS (default 21).
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/default"))
sys.path.insert(0, os.path.join(BUILD, "python"))
import pdx  # noqa: E402


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def numpy_parser(path):
    """Reads the phase map with numpy alone."""
    with open(path, "rb") as f:
        head = f.read(76)
    magic = int(np.frombuffer(head, ">u4", 1, 0)[0])
    length = {0x881B036F: 834, 0x881B0370: 834, 0x881B0371: 4096}[magic]
    intens_nbytes = int(np.frombuffer(head, ">i4", 1, 60)[0])
    width, height = (int(v) for v in np.frombuffer(head, ">i2", 2, 68))
    phase_nbytes = int(np.frombuffer(head, ">i4", 1, 72)[0])
    if phase_nbytes <= 0:
        return np.zeros((0, 0), np.int32)
    offset = length + max(intens_nbytes, 0)
    block = np.fromfile(path, ">i4", width * height, offset=offset)
    return block.reshape(height, width).astype(np.int32)


def main():
    side = int(os.environ.get("PDX_BENCH_SIDE", "4096"))
    runs = int(os.environ.get("PDX_BENCH_RUNS", "21"))
    with tempfile.TemporaryDirectory(dir=os.environ.get("PDX_BENCH_DIR", "/tmp")) as work:
        data = os.path.join(work, "in.dat")
        out = os.path.join(work, "out.mat")
        subprocess.run([os.path.join(BUILD, "bench/pdx_make_data"), data, str(side), str(side)],
                       check=True)

        def command():
            subprocess.run([os.path.join(BUILD, "pdx_convert"), "-f", data, out], check=True,
                           stderr=subprocess.DEVNULL)
            w, h = np.fromfile(out, "<u2", 2)
            return np.fromfile(out, "<i4", offset=4).reshape(h, w)

        def module():
            return pdx.read_data_file(data, intensity=False).phase

        maps = [module(), command(), numpy_parser(data)]  # also warms the cache
        if not all(np.array_equal(maps[0], m) for m in maps[1:]):
            sys.exit("python_read.py: the readers disagree")
        del maps
        readers = {
            "library": lambda: float(subprocess.run(
                [os.path.join(BUILD, "bench/pdx_read_time"), data, "1"], check=True,
                stdout=subprocess.PIPE, text=True).stdout),
            "module": lambda: seconds(module),
            "command": lambda: seconds(command),
            "numpy": lambda: seconds(lambda: numpy_parser(data)),
        }
        # Rounds of one run each, the order rotating, so that load from other
        # processes falls on all of them alike.
        times = {name: [] for name in readers}
        names = list(readers)
        for r in range(runs):
            for name in names[r % len(names):] + names[:r % len(names)]:
                times[name].append(readers[name]())

    labels = {"library": "library (C++ data_file_read)",
              "module": "pdx.read_data_file(..., intensity=False)",
              "command": "pdx_convert + np.fromfile",
              "numpy": "numpy parser (np.frombuffer + np.fromfile)"}
    mib = side * side * 4 / 2**20
    print("| Reader (%dx%d, %.0f MiB phase block) | Median | Fastest | Median ratio to library |"
          % (side, side, mib))
    print("|---|---|---|---|")
    for name in names:
        ratio = statistics.median(t / f for t, f in zip(times[name], times["library"]))
        print("| %s | %.1f ms | %.1f ms | %.2f |" % (labels[name], statistics.median(times[name]) * 1000,
                                                min(times[name]) * 1000, ratio))


if __name__ == "__main__":
    main()
