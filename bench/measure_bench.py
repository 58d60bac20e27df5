#!/usr/bin/python3
"""Exports with a physical scale and the default validity against
pdx_convert, and the measurement module's loops against those they
replaced.

One campaign map (examples/make_campaign.py: tilt, dome, noise, holes and
aperture edges marked by 2147483647) of SIDE x SIDE is written once. Then,
in rounds in which every row runs once, in turn, warm cache, each run with
its output removed and the file systems synced first: pdx_convert, `pdx
export` to each format as the command is today (default validity, no
scale), and `pdx_measure_bench export` (the same read and export call, with
--pixel-size 0.52um --z-scale 0.158nm). Wall time and peak RSS come from
pdx_measure; ratios are medians of the per-round ratios to pdx_convert.
Last, `pdx_measure_bench loops` times the statistics and the float
conversion in-process.

With --command, the pdx command alone, as its users run it: `pdx export`
to each format with --pixel-size 0.52um --z-scale 0.158nm against
pdx_convert, and `pdx info --stats` with the default validity against
`pdx info --stats --all`.

Usage: bench/measure_bench.py [--command] [BUILD_DIR]      (default: build/default)

Environment: PDX_BENCH_DIR (default /tmp), PDX_BENCH_SIDE (default 4096),
PDX_BENCH_ROUNDS (default 7).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import make_campaign  # noqa: E402


def measure(tool, argv):
    done = subprocess.run([tool] + argv, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("measure_bench.py: %s exited with %d" % (" ".join(argv), done.returncode))
    wall, rss, cpu = done.stdout.split()
    return float(wall), int(rss), float(cpu)


def main():
    args = sys.argv[1:]
    command = "--command" in args
    args = [a for a in args if a != "--command"]
    build = os.path.abspath(args[0] if args else os.path.join(ROOT, "build", "default"))
    tools = {name: os.path.join(build, path) for name, path in [
        ("pdx", "pdx"), ("convert", "pdx_convert"), ("measure", "bench/pdx_measure"),
        ("bench", "bench/pdx_measure_bench")]}
    for path in tools.values():
        if not os.access(path, os.X_OK):
            sys.exit("measure_bench.py: %s not built (cmake --workflow --preset default)" % path)
    side = int(os.environ.get("PDX_BENCH_SIDE", "4096"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "7"))
    work = tempfile.mkdtemp(prefix="pdx_measure_", dir=os.environ.get("PDX_BENCH_DIR", "/tmp"))
    try:
        src = os.path.join(work, "map.dat")
        phase = make_campaign.surface(np.random.default_rng(1), side, side)
        with open(src, "wb") as f:
            f.write(make_campaign.data_file(phase, 96, 120))
        subprocess.run(["cat", src], stdout=subprocess.DEVNULL, check=True)
        out = os.path.join(work, "out")
        scale = ["--pixel-size", "0.52um", "--z-scale", "0.158nm"]
        rows = [("`pdx_convert`", [tools["convert"], "-f", src, os.path.join(out, "ref.bin")])]
        # Ratios against this row, for the rows of pdx info.
        against = {}
        for fmt in ("gsf", "tiff", "png") if command else ():
            rows.append(("`pdx export --to %s` with a scale" % fmt,
                         [tools["pdx"], "export", "-q", "--to", fmt, "-o", out] + scale + [src]))
        if command:
            info = [tools["pdx"], "info", "-q", "--stats", src]
            rows.append(("`pdx info --stats --all`", info + ["--all"]))
            rows.append(("`pdx info --stats`", info))
            against[len(rows) - 1] = len(rows) - 2
        for fmt in () if command else ("gsf", "tiff", "png"):
            rows.append(("`pdx export --to %s`" % fmt,
                         [tools["pdx"], "export", "-q", "--to", fmt, "-o", out, src]))
            rows.append(("export %s with a scale" % fmt,
                         [tools["bench"], "export", fmt, src, os.path.join(out, "s." + fmt)] + scale))
        walls = [[] for _ in rows]
        cpus = [[] for _ in rows]
        peaks = [0 for _ in rows]
        for _ in range(rounds):
            for i, (_label, argv) in enumerate(rows):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                os.sync()
                wall, rss, cpu = measure(tools["measure"], argv)
                walls[i].append(wall)
                cpus[i].append(cpu)
                peaks[i] = max(peaks[i], rss)
        print("One %dx%d campaign map, %.0f%% of it marked; %d rounds, medians\n"
              % (side, side, 100.0 * np.mean(phase == make_campaign.MARKER), rounds))
        # CPU time too: on a loaded machine the wall time of runs this
        # short measures mostly the other processes.
        print("| Run | Wall (s) | Ratio | CPU (s) | Ratio | Peak RSS (MiB) |\n"
              "|---|---|---|---|---|---|")
        for i, (label, _) in enumerate(rows):
            base = against.get(i, 0)
            ratio = statistics.median(w / f for w, f in zip(walls[i], walls[base]))
            cpu_ratio = statistics.median(c / f for c, f in zip(cpus[i], cpus[base]))
            print("| %s | %.3f | %.2f (/ %s) | %.3f | %.2f | %.1f |"
                  % (label, statistics.median(walls[i]), ratio, rows[base][0],
                     statistics.median(cpus[i]), cpu_ratio, peaks[i] / 1024))
        print()
        sys.stdout.flush()
        if not command:
            subprocess.run([tools["bench"], "loops", str(side), str(2 * rounds + 1)], check=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
