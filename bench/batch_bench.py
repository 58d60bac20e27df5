#!/usr/bin/env python3
"""The pdx command's batch against the least a safe batch does, as a
Markdown table.

N maps of 256 x 256 (generated) in one folder, each converted beside
itself by `pdx convert -j 2 -q *.dat` and by `pdx_min_batch 2 *.dat`
(bench/min_batch.cpp: per file, open, read the header, read the block,
close; create the temporary exclusively, one write, fchmod, close, a rename
that refuses a taken name), and copied by `cp -r`. Rounds interleaved, each
starting one row further on; medians; the ratios are medians of per-round ratios. The two converters'
outputs are compared byte for byte. Goal: pdx at most 1.1 times the
minimal batch.

Usage: bench/batch_bench.py [BUILD_DIR]      (default: build/default)

Environment:
  PDX_BENCH_DIR    where the data files go (default /tmp); removed afterwards
  PDX_BENCH_FILES  how many maps (default 2000)
  PDX_BENCH_ROUNDS timed rounds, the median reported (default 11)
  PDX_BEFORE       another pdx binary, measured as one more row
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pdx_bench import ROOT, fail, fresh, measure, same_outputs  # noqa: E402


def rotated(rounds, rows, before):
    """As pdx_bench.interleaved, but each round starts one row further on,
    so that no row always follows the same one (or a round's start)."""
    walls = [[] for _ in rows]
    cpus = [[] for _ in rows]
    for r in range(rounds):
        for k in range(len(rows)):
            i = (r + k) % len(rows)
            before()
            wall, _rss, cpu = rows[i][1]()
            walls[i].append(wall)
            cpus[i].append(cpu)
            print("raw round %d: %s %.3f s, %.3f s CPU" % (r, rows[i][0], wall, cpu), file=sys.stderr)
    return [(rows[i][0], statistics.median(walls[i]),
             statistics.median(w / f for w, f in zip(walls[i], walls[0])), 0,
             statistics.median(cpus[i])) for i in range(len(rows))]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "default"))
    tools = {
        "pdx": os.path.join(build, "pdx"),
        "minimal": os.path.join(build, "bench", "pdx_min_batch"),
        "make": os.path.join(build, "bench", "pdx_make_data"),
        "measure": os.path.join(build, "bench", "pdx_measure"),
    }
    for path in tools.values():
        if not os.access(path, os.X_OK):
            fail("%s not built (cmake --workflow --preset default)" % path)
    count = int(os.environ.get("PDX_BENCH_FILES", "2000"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "11"))
    before = os.environ.get("PDX_BEFORE")
    work = tempfile.mkdtemp(prefix="pdx_batch_", dir=os.environ.get("PDX_BENCH_DIR", "/tmp"))
    try:
        src = os.path.join(work, "in")
        out = os.path.join(work, "out")
        os.makedirs(src)
        first = os.path.join(src, "f0000.dat")
        subprocess.run([tools["make"], first, "256", "256", "0"], check=True)
        with open(first, "rb") as f:
            data = f.read()
        for i in range(1, count):
            with open(os.path.join(src, "f%04d.dat" % i), "wb") as f:
                f.write(data)
        names = sorted(n for n in os.listdir(src) if n.endswith(".dat"))
        subprocess.run(["cat"] + [os.path.join(src, n) for n in names],
                       stdout=subprocess.DEVNULL, check=True)

        def clean():
            for name in os.listdir(src):
                if name.endswith(".bin"):
                    os.remove(os.path.join(src, name))
            fresh(out)

        def in_src(argv):
            return lambda: measure(tools, argv + names, cwd=src)

        rows = [
            ("`pdx convert -j 2 -q *.dat`", in_src([tools["pdx"], "convert", "-j", "2", "-q"])),
            ("`pdx_min_batch 2 *.dat` (minimal safe batch)", in_src([tools["minimal"], "2"])),
            ("`cp -r` of the inputs", lambda: measure(tools, ["/bin/cp", "-r", src, out + "/in"])),
        ]
        if before:
            rows.append(("`pdx convert -j 2 -q *.dat`, %s" % before,
                         in_src([before, "convert", "-j", "2", "-q"])))

        # The outputs of both, compared.
        def outputs_of(run, into):
            clean()
            run()
            fresh(into)
            for name in os.listdir(src):
                if name.endswith(".bin"):
                    os.rename(os.path.join(src, name), os.path.join(into, name))
        outputs_of(rows[0][1], os.path.join(work, "a"))
        outputs_of(rows[1][1], os.path.join(work, "b"))
        identical = same_outputs(os.path.join(work, "a"), os.path.join(work, "b"))
        results = rotated(rounds, rows, clean)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%d maps of 256 x 256, %d rounds, medians; outputs identical: %s\n"
          % (count, rounds, "yes" if identical else "NO"))
    print("| Run | Wall (s) | Files/s | / `pdx` | CPU (s) | CPU / `pdx` |")
    print("|---|---|---|---|---|---|")
    for label, wall, ratio, _, cpu in results:
        print("| %s | %.3f | %.0f | %.2f | %.3f | %.2f |"
              % (label, wall, count / wall, ratio, cpu, cpu / results[0][4]))
    pdx_over_min = 1 / results[1][2]
    print("\npdx / minimal batch (median of per-round ratios): %.2f (goal: at most 1.1)"
          % pdx_over_min)
    if not identical:
        sys.exit(1)


if __name__ == "__main__":
    main()
