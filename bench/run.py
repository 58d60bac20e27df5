#!/usr/bin/env python3
"""End-to-end benchmark: pdx_convert against pdx_baseline, the floor of the
converter's design, and against the I/O limit.

For each phase block size it writes a binary data file (a 4096-byte header,
an intensity block, then the phase block), then runs the converter, the
baseline and two I/O limits in turn, little- and big-endian (-b), recording
each process's wall time and peak resident memory. Both limits copy through
one small reused buffer (`dd bs=1M`): "file" copies the whole input file to a
new file, "block" exactly the bytes of the phase block, which is the reading
and writing any conversion must do, without the sample buffer. The result is
a Markdown table.

Usage: bench/run.py [BUILD_DIR]        (default: build/default)

Environment:
  PDX_BENCH_DIR    where the data files go (default /tmp); removed afterwards
  PDX_BENCH_SIZES  phase block sides (default "1024 4096 16384")
  PDX_BENCH_PAIRS  rounds (converter, baseline, both limits) per size and order
                   (default 11)
  PDX_CONVERT      the converter to measure (default BUILD_DIR/pdx_convert)

Page caches cannot be dropped without privileges, so every figure is for a
warm cache: the input is read once before timing, and both outputs are
removed and the file systems synced before each timed run, so no run pays
for truncating or flushing the one before it.
"""

import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MEASURE = None  # bench/pdx_measure in the build directory


def fail(message):
    sys.exit("run.py: " + message)


def run(argv):
    """Runs argv under pdx_measure; returns (wall seconds, peak RSS in KiB,
    CPU seconds). Fails on a non-zero exit."""
    done = subprocess.run([MEASURE] + argv, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        fail("%s exited with %d" % (" ".join(argv), done.returncode))
    wall, rss, cpu = done.stdout.split()
    return float(wall), int(rss), float(cpu)


def fresh(*paths):
    """Removes the outputs and syncs, so that every run starts from the same
    state: no earlier output in the page cache, nothing dirty. (Removing only
    the next run's own output left the other program's output dirty before
    every second run: the runs after a sync and those without one differed by
    up to 2x at 1 GiB.)"""
    for path in paths:
        if os.path.exists(path):
            os.remove(path)
    os.sync()


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return "%s; %d CPUs (%s); %.1f GiB memory; %s" % (
        platform.platform(), os.cpu_count(), model, mem, platform.python_version())


def mib(kib):
    return kib / 1024.0


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "default"))
    convert = os.path.abspath(os.environ.get("PDX_CONVERT", os.path.join(build, "pdx_convert")))
    baseline = os.path.join(build, "bench", "pdx_baseline")
    make_data = os.path.join(build, "bench", "pdx_make_data")
    global MEASURE
    MEASURE = os.path.join(build, "bench", "pdx_measure")
    for exe in (convert, baseline, make_data, MEASURE):
        if not os.access(exe, os.X_OK):
            fail("missing %s: build the project first" % exe)
    cat = shutil.which("cat") or fail("no cat")
    dd = shutil.which("dd") or fail("no dd")
    cmp = shutil.which("cmp") or fail("no cmp")

    sizes = [int(s) for s in os.environ.get("PDX_BENCH_SIZES", "1024 4096 16384").split()]
    pairs = int(os.environ.get("PDX_BENCH_PAIRS", "11"))
    if pairs < 1:
        fail("PDX_BENCH_PAIRS must be at least 1")
    base_dir = os.environ.get("PDX_BENCH_DIR", "/tmp")

    print("Machine: " + machine())
    print("Build: %s; converter: %s" % (build, convert))
    print("Rounds per row: %d (the order of the four programs changes every round; "
          "ratios are medians of the per-round ratios)\n" % pairs)
    print("| Phase block | Order | Limit: file (s) | Limit: block (s) | Converter (s) | "
          "Baseline (s) | Converter / file limit | Converter / block limit | "
          "Converter / baseline | (min..max) | Best-of / baseline | "
          "Converter peak RSS (MiB) | Baseline peak RSS (MiB) | RSS difference (MiB) | "
          "CPU time / baseline |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")

    work = tempfile.mkdtemp(prefix="pdx_bench_", dir=base_dir)
    try:
        for side in sizes:
            phase_bytes = side * side * 4
            input_bytes = 4096 + side * side * 2 + phase_bytes
            need = 2 * input_bytes + 3 * (4 + phase_bytes) + (64 << 20)
            free = shutil.disk_usage(work).free
            if free < need:
                print("| %dx%d | skipped: needs %.1f GiB in %s, %.1f GiB free |"
                      % (side, side, need / 2**30, base_dir, free / 2**30))
                continue
            data = os.path.join(work, "in_%d.dat" % side)
            out_c = os.path.join(work, "convert.mat")
            out_b = os.path.join(work, "baseline.mat")
            out_l = os.path.join(work, "limit.bin")
            out_f = os.path.join(work, "limit_file.bin")
            limit = [dd, "if=" + data, "of=" + out_l, "bs=1M", "status=none",
                     "iflag=skip_bytes,count_bytes", "skip=%d" % (input_bytes - phase_bytes),
                     "count=%d" % phase_bytes]
            limit_file = [dd, "if=" + data, "of=" + out_f, "bs=1M", "status=none"]
            outputs = (out_c, out_b, out_l, out_f)
            if subprocess.call([make_data, data, str(side), str(side), "1"]) != 0:
                fail("pdx_make_data failed")

            # Warm-up: the input in the page cache, both programs loaded once,
            # and a check that both write the same bytes.
            run([cat, data])
            fresh(*outputs)
            run(limit)
            run(limit_file)
            for flags in ([], ["-b"]):
                fresh(*outputs)
                run([convert] + flags + [data, out_c])
                run([baseline] + flags + [data, out_b])
                if subprocess.call([cmp, "-s", out_c, out_b]) != 0:
                    fail("converter and baseline outputs differ for %dx%d %s"
                         % (side, side, " ".join(flags) or "little-endian"))

            for flags, order in (([], "little-endian"), (["-b"], "big-endian (-b)")):
                ratios, to_limit, to_file, conv, base, lim, lim_f = [], [], [], [], [], [], []
                conv_rss, base_rss, diff, cpu = [], [], [], []
                programs = (("c", [convert] + flags + [data, out_c]),
                            ("b", [baseline] + flags + [data, out_b]),
                            ("l", limit), ("f", limit_file))
                for i in range(pairs):
                    result = {}
                    # Every program goes first, second and last in turn.
                    turn = programs[i % 4:] + programs[:i % 4]
                    if (i // 4) % 2:
                        turn = turn[::-1]
                    for key, argv in turn:
                        fresh(*outputs)
                        result[key] = run(argv)
                    conv.append(result["c"][0])
                    base.append(result["b"][0])
                    lim.append(result["l"][0])
                    lim_f.append(result["f"][0])
                    ratios.append(result["c"][0] / result["b"][0])
                    to_limit.append(result["c"][0] / result["l"][0])
                    to_file.append(result["c"][0] / result["f"][0])
                    conv_rss.append(result["c"][1])
                    base_rss.append(result["b"][1])
                    diff.append(result["c"][1] - result["b"][1])
                    cpu.append(result["c"][2] / result["b"][2])
                    print("raw %dx%d %s round %d: converter %.4f s %d KiB %.4f s CPU, "
                          "baseline %.4f s %d KiB %.4f s CPU, block limit %.4f s %d KiB %.4f s CPU, "
                          "file limit %.4f s %d KiB %.4f s CPU"
                          % ((side, side, flags and "-b" or "le", i)
                             + result["c"] + result["b"] + result["l"] + result["f"]),
                          file=sys.stderr)
                print("| %dx%d (%d MiB) | %s | %.4f | %.4f | %.4f | %.4f | **%.3f** | **%.3f** | **%.3f** | %.3f..%.3f | %.3f | %.1f | %.1f | %+.2f | %.3f |"
                      % (side, side, phase_bytes >> 20, order, statistics.median(lim_f),
                         statistics.median(lim), statistics.median(conv), statistics.median(base),
                         statistics.median(to_file), statistics.median(to_limit),
                         statistics.median(ratios),
                         min(ratios), max(ratios), min(conv) / min(base),
                         mib(max(conv_rss)), mib(max(base_rss)), mib(max(diff)),
                         statistics.median(cpu)))
                sys.stdout.flush()
            for path in (data,) + outputs:
                if os.path.exists(path):
                    os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
