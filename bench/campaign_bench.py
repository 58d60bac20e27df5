#!/usr/bin/python3
"""Benchmarks of campaigns through the pdx command, as a Markdown table.

N maps of 256 x 256 (generated, about 0.26 MB each) in one folder:

- `pdx report` against `pdx export --to png` of the same files (the
  report's previews are the same writer's, at 160 pixels);
- `pdx convert -u` with every output there and current against
  `pdx convert` writing them all.

Each round runs every row once, in turn; the medians of the rounds are
reported, and of the per-round ratios to the first row of each pair.

Usage: bench/campaign_bench.py [BUILD_DIR]    (default: build/default)

Environment: PDX_BENCH_DIR (default /tmp), PDX_BENCH_FILES (default 2000),
PDX_BENCH_ROUNDS (default 5).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import numpy as np  # noqa: E402
from make_campaign import data_file, surface  # noqa: E402


def timed(argv, cwd):
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("campaign_bench.py: %s: %s" % (" ".join(argv), done.stderr.decode()))
    return elapsed


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build",
                                                                               "default"))
    pdx = os.path.join(build, "pdx")
    count = int(os.environ.get("PDX_BENCH_FILES", "2000"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "5"))
    work = tempfile.mkdtemp(prefix="pdx-campaign-", dir=os.environ.get("PDX_BENCH_DIR", "/tmp"))
    try:
        rng = np.random.default_rng(1)
        os.makedirs(os.path.join(work, "c"))
        maps = [surface(rng, 256, 256) for _ in range(8)]
        for i in range(count):
            with open(os.path.join(work, "c", "m%05d.dat" % i), "wb") as f:
                f.write(data_file(maps[i % len(maps)]))
        for d in ("png", "bin"):
            os.makedirs(os.path.join(work, d))
        rows = {
            "pdx export --to png": [pdx, "export", "--to", "png", "-q", "-f", "-o", "png", "c"],
            "pdx report": [pdx, "report", "-q", "-f", "-o", "page.html", "c"],
            "pdx convert": [pdx, "convert", "-q", "-f", "-o", "bin", "c"],
            "pdx convert -u, nothing new": [pdx, "convert", "-q", "-u", "-o", "bin", "c"],
        }
        timed(rows["pdx convert"], work)  # warms the page cache, makes the outputs
        times = {name: [] for name in rows}
        for _ in range(rounds):
            for name, argv in rows.items():
                times[name].append(timed(argv, work))
        print("%d maps of 256 x 256, %d rounds\n" % (count, rounds))
        print("| run | median s | ratio |")
        print("|---|---|---|")
        names = list(rows)
        for i, name in enumerate(names):
            base = names[i - i % 2]
            ratio = statistics.median(t / b for t, b in zip(times[name], times[base]))
            print("| %s | %.3f | %.2f |" % (name, statistics.median(times[name]), ratio))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
