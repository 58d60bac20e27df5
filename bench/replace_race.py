#!/usr/bin/python3
"""Concurrent replacements of one output with a reader watching it.

    /usr/bin/python3 bench/replace_race.py build/default [seconds]

Two loops of `pdx_convert -f` write two conversions of different sizes to one
name while a third reads the name whole, for `seconds` (default 10); then
eight threads of the Python module's write_matrix_file do the same. Every
read must find one of the two files whole: the counts of empty and other
(partial or mixed) reads are the figures to watch, and should be 0.
"""

import os
import subprocess
import sys
import tempfile
import threading
import time


def watch(path, wholes, seconds, writers):
    counts = {"reads": 0, "whole": 0, "empty": 0, "other": 0, "missing": 0}
    stop = time.monotonic() + seconds
    threads = [threading.Thread(target=w, args=(stop,)) for w in writers]
    for t in threads:
        t.start()
    while time.monotonic() < stop:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            counts["missing"] += 1
            continue
        counts["reads"] += 1
        key = "whole" if data in wholes else "empty" if not data else "other"
        counts[key] += 1
    for t in threads:
        t.join()
    return counts


def main():
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    convert = os.path.join(build, "pdx_convert")
    with tempfile.TemporaryDirectory() as d:
        inputs = []
        for side in (64, 256):
            data = os.path.join(d, f"{side}.dat")
            subprocess.run([os.path.join(build, "bench", "pdx_make_data"), data, str(side),
                            str(side), "1"], check=True)
            inputs.append(data)
        out = os.path.join(d, "out.bin")
        wholes = []
        for data in inputs:
            subprocess.run([convert, "-f", data, out], check=True, stderr=subprocess.DEVNULL)
            with open(out, "rb") as f:
                wholes.append(f.read())

        def command_loop(data):
            def run(stop):
                while time.monotonic() < stop:
                    subprocess.run([convert, "-f", data, out], stderr=subprocess.DEVNULL)
            return run

        counts = watch(out, wholes, seconds, [command_loop(x) for x in inputs])
        print("pdx_convert -f, 2 loops:", counts)

        sys.path.insert(0, os.path.join(build, "python"))
        try:
            import numpy as np
            import pdx
        except ImportError as e:
            print("Python module not measured:", e)
            return
        arrays = [np.frombuffer(w, dtype="<i4", offset=4).reshape(
            int.from_bytes(w[2:4], "little"), int.from_bytes(w[0:2], "little")) for w in wholes]

        def module_loop(array):
            def run(stop):
                while time.monotonic() < stop:
                    pdx.write_matrix_file(out, array)
            return run

        counts = watch(out, wholes, seconds, [module_loop(arrays[i % 2]) for i in range(8)])
        print("write_matrix_file, 8 threads:", counts)


if __name__ == "__main__":
    main()
