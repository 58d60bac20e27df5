#!/usr/bin/env python3
"""Benchmarks of the pdx command, as a Markdown report.

Many small files: `pdx convert -j 2` over N files of 256 x 256 samples
against the README's `xargs -P 2` recipe (one pdx_convert per file), a
POSIX shell loop of pdx_convert, and `cp -r` of the same files; the outputs
are compared with pdx_convert's, byte for byte.

One large file (4096 x 4096 by default): `pdx export --to` each format, and
`pdx convert`, against pdx_convert of the same file; wall time and peak
resident memory, with the input's phase block for reference. Peak memory
per job: `pdx convert -j 2` over two such files.

Usage: bench/pdx_bench.py [BUILD_DIR]      (default: build/default)

Environment:
  PDX_BENCH_DIR    where the data files go (default /tmp); removed afterwards
  PDX_BENCH_FILES  how many small files (default 2000)
  PDX_BENCH_SIDE   the large map's side (default 4096)
  PDX_BENCH_ROUNDS timed rounds per figure, the median reported (default 5)

Every figure is for a warm page cache: inputs are read once before timing,
and outputs are removed and the file systems synced before each run.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fail(message):
    sys.exit("pdx_bench.py: " + message)


def measure(tools, argv, cwd=None):
    """(wall seconds, peak RSS in KiB, CPU seconds of the process and the
    processes it waited for) of one run under pdx_measure."""
    done = subprocess.run([tools["measure"]] + argv, stdout=subprocess.PIPE, text=True, cwd=cwd)
    if done.returncode != 0:
        fail("%s exited with %d" % (" ".join(argv), done.returncode))
    wall, rss, cpu = done.stdout.split()
    return float(wall), int(rss), float(cpu)


def fresh(*dirs):
    for d in dirs:
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    os.sync()


def interleaved(rounds, rows, before):
    """Runs every row once per round, the rows in turn, so that a change of
    load meets them all alike. Returns per row: the median wall time, the
    median of its per-round ratio to the first row, the largest peak, and
    the median CPU time."""
    walls = [[] for _ in rows]
    cpus = [[] for _ in rows]
    peaks = [0 for _ in rows]
    for _ in range(rounds):
        for i, (_label, run) in enumerate(rows):
            before()
            wall, rss, cpu = run()
            walls[i].append(wall)
            cpus[i].append(cpu)
            peaks[i] = max(peaks[i], rss)
    ratios = [statistics.median(w / f for w, f in zip(walls[i], walls[0])) for i in range(len(rows))]
    return [(rows[i][0], statistics.median(walls[i]), ratios[i], peaks[i], statistics.median(cpus[i]))
            for i in range(len(rows))]


def same_outputs(a, b):
    names = sorted(os.listdir(a))
    if names != sorted(os.listdir(b)):
        return False
    for name in names:
        with open(os.path.join(a, name), "rb") as f, open(os.path.join(b, name), "rb") as g:
            if f.read() != g.read():
                return False
    return True


def many_files(tools, work, count, rounds):
    src = os.path.join(work, "in")
    os.makedirs(src)
    subprocess.run([tools["make"], os.path.join(src, "f0000.dat"), "256", "256", "0"], check=True)
    with open(os.path.join(src, "f0000.dat"), "rb") as f:
        data = f.read()
    for i in range(1, count):
        with open(os.path.join(src, "f%04d.dat" % i), "wb") as f:
            f.write(data)
    subprocess.run(["cat"] + [os.path.join(src, n) for n in os.listdir(src)],
                   stdout=subprocess.DEVNULL, check=True)
    out = os.path.join(work, "out")
    ref = os.path.join(work, "ref")
    env_path = os.path.dirname(tools["convert"]) + os.pathsep + os.environ["PATH"]

    def clean():
        # The outputs beside the inputs, and the copy.
        for name in os.listdir(src):
            if name.endswith(".bin"):
                os.remove(os.path.join(src, name))
        fresh(out)

    def shell(script):
        return lambda: measure(tools, ["/bin/sh", "-c", "PATH=%s; %s" % (env_path, script)], cwd=src)

    # The README's examples as written there, but two at a time.
    recipe = ("find . -name '*.dat' -print0 | xargs -0 -n 1 -P 2 sh -c "
              "'pdx_convert \"$1\" \"${1%.dat}.bin\"' sh")
    loop = ("for f in *.dat; do pdx_convert \"$f\" \"${f%.dat}.bin\" || "
            "echo \"not converted: $f\" >&2; done")
    rows = [
        ("`pdx convert -j 2 -q *.dat`", shell("pdx convert -j 2 -q *.dat")),
        ("README `xargs -P 2` recipe (one `pdx_convert` per file)", shell(recipe)),
        ("README shell loop (one `pdx_convert` per file)", shell(loop)),
        ("`cp -r` of the inputs", lambda: measure(tools, ["/bin/cp", "-r", src, out + "/in"])),
    ]
    # pdx_convert's own outputs, for the comparison below.
    clean()
    rows[1][1]()
    fresh(ref)
    for name in os.listdir(src):
        if name.endswith(".bin"):
            os.rename(os.path.join(src, name), os.path.join(ref, name))
    results = interleaved(rounds, rows, clean)
    clean()
    shell("pdx convert -j 2 -q *.dat")()
    fresh(out)
    for name in os.listdir(src):
        if name.endswith(".bin"):
            os.rename(os.path.join(src, name), os.path.join(out, name))
    identical = same_outputs(out, ref)
    shutil.rmtree(src)
    return results, identical


def large_file(tools, work, side, rounds):
    src = os.path.join(work, "big.dat")
    subprocess.run([tools["make"], src, str(side), str(side), "1"], check=True)
    shutil.copy(src, os.path.join(work, "big2.dat"))
    subprocess.run(["cat", src, os.path.join(work, "big2.dat")], stdout=subprocess.DEVNULL,
                   check=True)
    out = os.path.join(work, "out")
    pdx, conv = tools["pdx"], tools["convert"]
    rows = [("`pdx_convert`", [conv, "-f", src, os.path.join(out, "ref.bin")])]
    rows.append(("`pdx convert`", [pdx, "convert", "-q", "-o", out, src]))
    for fmt in ("gsf", "tiff", "npy", "png"):
        rows.append(("`pdx export --to %s`" % fmt, [pdx, "export", "-q", "--to", fmt, "-o", out, src]))
    rows.append(("`pdx convert -j 2`, two files",
                 [pdx, "convert", "-q", "-j", "2", "-o", out, src, os.path.join(work, "big2.dat")]))
    results = interleaved(rounds, [(label, lambda argv=argv: measure(tools, argv))
                                   for label, argv in rows], lambda: fresh(out))
    os.remove(src)
    os.remove(os.path.join(work, "big2.dat"))
    return results


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "default"))
    tools = {
        "pdx": os.path.join(build, "pdx"),
        "convert": os.path.join(build, "pdx_convert"),
        "make": os.path.join(build, "bench", "pdx_make_data"),
        "measure": os.path.join(build, "bench", "pdx_measure"),
    }
    for path in tools.values():
        if not os.access(path, os.X_OK):
            fail("%s not built (cmake --workflow --preset default)" % path)
    count = int(os.environ.get("PDX_BENCH_FILES", "2000"))
    side = int(os.environ.get("PDX_BENCH_SIDE", "4096"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "5"))
    work = tempfile.mkdtemp(prefix="pdx_bench_", dir=os.environ.get("PDX_BENCH_DIR", "/tmp"))
    try:
        many, identical = many_files(tools, work, count, rounds)
        large = large_file(tools, work, side, rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%d files of 256 x 256 (%d rounds, medians; outputs identical to pdx_convert's: %s)\n"
          % (count, rounds, "yes" if identical else "NO"))
    print("| Run | Wall (s) | Files/s | vs `pdx convert` | CPU (s) | CPU vs `pdx convert` |")
    print("|---|---|---|---|---|---|")
    for label, wall, ratio, _, cpu in many:
        print("| %s | %.3f | %.0f | %.2f | %.3f | %.2f |"
              % (label, wall, count / wall, ratio, cpu, cpu / many[0][4]))
    block = side * side * 4 / 2**20
    print("\nOne %d x %d map (phase block %.0f MiB; %d rounds, medians; peak RSS the largest)\n"
          % (side, side, block, rounds))
    print("| Run | Wall (s) | vs `pdx_convert` | Peak RSS (MiB) | Over the phase blocks (MiB) |")
    print("|---|---|---|---|---|")
    for label, wall, ratio, rss, _ in large:
        blocks = 2 if "two files" in label else 1
        print("| %s | %.3f | %.2f | %.1f | %.1f |"
              % (label, wall, ratio, rss / 1024, rss / 1024 - blocks * block))


if __name__ == "__main__":
    main()
