#!/usr/bin/python3
"""Reading a phase map into numpy: the pdx module against the alternatives.

Writes one data file (4096-byte header, one intensity frame, a side x side
phase block; default side 4096, a 64 MiB phase block), then times, warm
cache, the median of RUNS reads of its phase map by:

  library   data_file_read from C++ (bench/pdx_read_time), the floor
  module    pdx.read_data_file(path, intensity=False)
  command   pdx_convert to a temporary file, then np.fromfile of it
  numpy     a pure-numpy parser: header fields with np.frombuffer, the
            block with np.fromfile(offset=...), converted to native int32

and checks that all of them give the same map. Prints a Markdown table.

Usage: /usr/bin/python3 bench/python_read.py [BUILD_DIR]   (default build/default)

Environment: PDX_BENCH_DIR (where the files go, default /tmp), PDX_BENCH_SIDE
(default 4096), PDX_BENCH_RUNS (default 15).
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


def median_seconds(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


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
    runs = int(os.environ.get("PDX_BENCH_RUNS", "15"))
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
        library = subprocess.run([os.path.join(BUILD, "bench/pdx_read_time"), data, str(runs)],
                                 check=True, stdout=subprocess.PIPE, text=True)
        figures = [("library (C++ data_file_read)", float(library.stdout))]
        figures.append(("pdx.read_data_file(..., intensity=False)", median_seconds(module, runs)))
        figures.append(("pdx_convert + np.fromfile", median_seconds(command, runs)))
        figures.append(("numpy parser", median_seconds(lambda: numpy_parser(data), runs)))

    mib = side * side * 4 / 2**20
    floor = figures[0][1]
    print("| Reader (%dx%d, %.0f MiB phase block) | Median | vs library |" % (side, side, mib))
    print("|---|---|---|")
    for name, seconds in figures:
        print("| %s | %.1f ms | %.2f |" % (name, seconds * 1000, seconds / floor))


if __name__ == "__main__":
    main()
