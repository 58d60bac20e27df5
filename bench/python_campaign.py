#!/usr/bin/python3
"""A campaign of phase maps reduced in Python: a loop against xarray and dask.

Writes FILES data files (4096-byte header, one intensity frame and a
side x side phase map; default 1,000 files of 512 x 512), then times, warm
cache, the mean phase of every map by:

  loop      a Python loop of pdx.read_data_file(path, intensity=False)
            and ndarray.mean()
  campaign  pdx.open_campaign(paths) (the engine's one Dataset for files of
            one layout, dask chunks of a few files) and phase.mean(("y", "x"))
            on dask's threaded scheduler with THREADS threads (default 2);
            its open and compute phases are also timed apart
  dask      xr.open_mfdataset(paths, engine="pdx", combine="nested",
            concat_dim="file", parallel=True) and phase.mean(("y", "x")),
            on the same scheduler
  tuned     the same with the options for many files of one layout that
            need only the phase map: drop_variables="intensity",
            coords="minimal", compat="override", join="override",
            inline_array=True

Each run is a fresh process (imports done and caches filled, on two other
files, before the clock starts); the runs alternate over ROUNDS rounds
(default 5). Peak memory is the growth of the process's resident set: its
peak (VmHWM, reset through /proc/self/clear_refs) less its size before, over
the whole reduction and over its compute phase alone. With PDX_BENCH_COLD=1
the files are dropped from the page cache (posix_fadvise) before each run.
CPU / wall is the process's CPU time over its wall time (2 at most with 2
threads busy), CPU time the process's CPU time itself. Checks that all
methods agree, prints a Markdown table.

Usage: /usr/bin/python3 bench/python_campaign.py [BUILD_DIR]   (default build/default)
       (BUILD_DIR "installed": the pdx package the interpreter finds)

Environment: PDX_BENCH_DIR (where the files go, default /tmp), PDX_BENCH_FILES,
PDX_BENCH_SIDE, PDX_BENCH_ROUNDS, PDX_BENCH_THREADS, PDX_BENCH_METHODS (those
to run, comma-separated; default all; the loop always runs).
"""

import json
import os
import math
import struct
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METHODS = ("loop", "campaign", "dask", "tuned")


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # VmHWM back to the present resident set
    return status("VmRSS")


def child(build, method, paths, threads):
    """One timed reduction in this process; prints a JSON line."""
    if build != "installed":
        sys.path.insert(0, os.path.join(build, "python"))
    import dask
    import numpy as np
    import xarray as xr

    import pdx

    dask.config.set(scheduler="threads", num_workers=threads)
    # The counts as stored, as the loop reads them (the engine's default,
    # float32 with the invalid samples NaN, would not give the loop's means).
    options = dict(engine="pdx", combine="nested", concat_dim="file", parallel=True,
                   mask_and_scale=False)
    if method == "tuned":
        options.update(drop_variables="intensity", coords="minimal", compat="override",
                       join="override", inline_array=True)
    warm_up, paths = paths[:2], paths[2:]
    pdx.read_data_file(warm_up[0], intensity=False).phase.mean()
    if method == "campaign":
        pdx.open_campaign(warm_up, mask_and_scale=False).phase.mean(("y", "x")).values
    else:
        xr.open_mfdataset(warm_up, **options).phase.mean(("y", "x")).values

    before = reset_peak()
    cpu = time.process_time()
    start = time.perf_counter()
    if method == "loop":
        means = np.array([pdx.read_data_file(p, intensity=False).phase.mean() for p in paths])
        opened, compute_peak = start, 0
    else:
        ds = (pdx.open_campaign(paths, mask_and_scale=False) if method == "campaign"
              else xr.open_mfdataset(paths, **options))
        opened = time.perf_counter()
        open_peak = status("VmHWM") - before
        compute_before = reset_peak()
        means = ds.phase.mean(("y", "x")).values
        compute_peak = status("VmHWM") - compute_before
    end = time.perf_counter()
    cpu = time.process_time() - cpu
    peak = max(status("VmHWM") - before, 0 if method == "loop" else open_peak)
    print(json.dumps({"seconds": end - start, "open": opened - start, "cpu": cpu, "peak": peak,
                      "compute_peak": compute_peak, "means": [float(m) for m in means]}))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/default")
    if build != "installed":
        build = os.path.abspath(build)
    count = int(os.environ.get("PDX_BENCH_FILES", "1000"))
    side = int(os.environ.get("PDX_BENCH_SIDE", "512"))
    rounds = int(os.environ.get("PDX_BENCH_ROUNDS", "5"))
    threads = int(os.environ.get("PDX_BENCH_THREADS", "2"))
    make_data = os.path.join(build if build != "installed" else os.path.join(ROOT, "build/default"),
                             "bench/pdx_make_data")
    with tempfile.TemporaryDirectory(dir=os.environ.get("PDX_BENCH_DIR", "/tmp")) as work:
        first = os.path.join(work, "m00000.dat")
        subprocess.run([make_data, first, str(side), str(side), "1"], check=True)
        with open(first, "rb") as f:
            image = bytearray(f.read())
        paths = [first]
        phase_at = 4096 + side * side * 2  # header, one intensity frame
        for i in range(1, count):
            paths.append(os.path.join(work, "m%05d.dat" % i))
            struct.pack_into(">i", image, phase_at, i * 1000)  # one mean per file
            with open(paths[-1], "wb") as f:
                f.write(image)
        listing = os.path.join(work, "paths.json")
        with open(listing, "w") as f:
            json.dump(paths, f)
        cold = os.environ.get("PDX_BENCH_COLD") == "1"
        chosen = os.environ.get("PDX_BENCH_METHODS", ",".join(METHODS)).split(",")
        methods = tuple(m for m in METHODS if m == "loop" or m in chosen)

        results = {m: [] for m in methods}
        for r in range(rounds):
            for method in methods[r % len(methods):] + methods[:r % len(methods)]:
                for p in paths:
                    with open(p, "rb") as f:
                        if cold:
                            os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
                        else:
                            f.read()
                out = subprocess.run([sys.executable, __file__, "--child", build, method, listing,
                                      str(threads)], check=True, stdout=subprocess.PIPE,
                                     text=True).stdout
                results[method].append(json.loads(out))
                print(method, {k: v for k, v in results[method][-1].items() if k != "means"},
                      file=sys.stderr)

    reference = results["loop"][0]["means"]
    for method in methods:
        for run in results[method]:
            if not all(math.isclose(a, b, rel_tol=1e-12) for a, b in zip(run["means"], reference)):
                sys.exit("python_campaign.py: %s disagrees with the loop" % method)
    map_bytes = side * side * 4
    loop = statistics.median(r["seconds"] for r in results["loop"])
    print("| Method (%d maps of %dx%d, %d threads, %s cache) | Median | Open / compute"
          " | CPU time | CPU / wall | Speed-up over the loop"
          " | Peak memory growth, in maps: whole / compute |"
          % (count - 2, side, side, threads, "cold" if cold else "warm"))
    print("|---|---|---|---|---|---|---|")
    for method in methods:
        runs = results[method]
        seconds = statistics.median(r["seconds"] for r in runs)
        opened = statistics.median(r["open"] for r in runs)
        split = "-" if method == "loop" else "%.3f / %.3f s" % (opened, seconds - opened)
        cpu_time = statistics.median(r["cpu"] for r in runs)
        cpu = statistics.median(r["cpu"] / r["seconds"] for r in runs)
        print("| %s | %.3f s | %s | %.3f s | %.2f | %.2f | %.1f / %.1f |"
              % (method, seconds, split, cpu_time, cpu, loop / seconds,
                 max(r["peak"] for r in runs) / map_bytes,
                 max(r["compute_peak"] for r in runs) / map_bytes))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        with open(sys.argv[4]) as f:
            child(sys.argv[2], sys.argv[3], json.load(f), int(sys.argv[5]))
    else:
        main()
