#!/usr/bin/python3
"""pdx.scan against the loop a user writes: pdx.read_data_file and numpy
statistics of the valid samples, file by file. Prints a Markdown table.

N maps of 512 x 512 (default 1000; 1 MiB each) in one folder, warm cache;
each round times the loop, then scan(threads=1) and scan(threads=2), and
the medians of the rounds and of the per-round ratios to the loop are
reported. Checks that the loop and scan agree.

Usage: /usr/bin/python3 bench/python_scan.py [BUILD_DIR]   (default build/default)

Environment: PDX_BENCH_DIR (default /tmp), PDX_BENCH_FILES (default 1000),
PDX_BENCH_ROUNDS (default 5).
"""

import glob
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/default"))
sys.path.insert(0, os.path.join(BUILD, "python"))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import pdx  # noqa: E402
from make_campaign import data_file, surface  # noqa: E402


def loop(paths):
    rows = []
    for p in paths:
        a = pdx.read_data_file(p, intensity=False).phase
        v = a[np.abs(a.astype(np.int64)) < 2**30]
        rows.append((v.size, v.min(), v.max(), v.mean(), v.std()))
    return rows


def main():
    count = int(os.environ.get("PDX_BENCH_FILES", "1000"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "5"))
    work = tempfile.mkdtemp(prefix="pdx-scan-", dir=os.environ.get("PDX_BENCH_DIR", "/tmp"))
    try:
        rng = np.random.default_rng(2)
        maps = [surface(rng, 512, 512) for _ in range(4)]
        for i in range(count):
            with open(os.path.join(work, "m%05d.dat" % i), "wb") as f:
                f.write(data_file(maps[i % len(maps)]))
        paths = sorted(glob.glob(os.path.join(work, "*.dat")))
        expected = loop(paths)
        table = pdx.scan(paths, threads=2)
        assert table.valid.tolist() == [r[0] for r in expected]
        assert np.allclose(table["mean"], [r[3] for r in expected], rtol=1e-9)
        rows = {"loop of read_data_file + numpy": lambda: loop(paths),
                "pdx.scan(threads=1)": lambda: pdx.scan(paths, threads=1),
                "pdx.scan(threads=2)": lambda: pdx.scan(paths, threads=2)}
        times = {name: [] for name in rows}
        for _ in range(rounds):
            for name, run in rows.items():
                start = time.perf_counter()
                run()
                times[name].append(time.perf_counter() - start)
        base = times["loop of read_data_file + numpy"]
        print("%d maps of 512 x 512, %d rounds\n" % (count, rounds))
        print("| run | median s | speed-up over the loop |")
        print("|---|---|---|")
        for name, t in times.items():
            print("| %s | %.3f | %.2f |" % (name, statistics.median(t),
                                           statistics.median(b / x for b, x in zip(base, t))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
