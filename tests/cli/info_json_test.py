"""pdx info --json --stats: every record valid under docs/pdx-info.schema.json,
one per file in the order given, and the statistics as numpy computes them;
names that are no regular file given their kind, in JSON and in words.

Usage: info_json_test.py PDX SCHEMA EXAMPLE
"""

import json
import os
import socket
import stat
import struct
import subprocess
import sys
import tempfile

import jsonschema
import numpy as np


def data_file(phase, header=4096):
    """A data file with a phase block of the given int32 array."""
    h, w = phase.shape
    head = bytearray(header)
    head[0:4] = struct.pack(">I", 0x881B0371 if header == 4096 else 0x881B036F)
    head[68:76] = struct.pack(">hhi", w, h, phase.size * 4)
    return bytes(head) + phase.astype(">i4").tobytes()


def main(pdx, schema_path, example):
    with open(schema_path) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    rng = np.random.default_rng(7)
    # Large values with a small spread: a one-pass sum of squares loses it.
    wide = (2_000_000_000 + rng.integers(-1000, 1000, size=(300, 500))).astype(np.int32)
    files = {
        "example.dat": open(example, "rb").read(),
        "wide.dat": data_file(wide),
        "negative.dat": data_file(np.array([[-(2**31), 2**24 + 1]], dtype=np.int32), 834),
        "nophase.dat": data_file(np.zeros((0, 0), dtype=np.int32)),
        "text.dat": b"width,height\n",
        "short.dat": data_file(wide)[:-2],
        b"\xff\xfename.dat": data_file(np.array([[5]], dtype=np.int32)),
    }
    with tempfile.TemporaryDirectory() as d:
        names = []
        for name, data in files.items():
            with open(os.path.join(os.fsencode(d), os.fsencode(name)), "wb") as f:
                f.write(data)
            names.append(os.fsencode(name))
        names.append(b"missing.dat")
        # What is there but is no regular file, each named as what it is.
        os.mkdir(os.path.join(d, "folder"))
        os.mkfifo(os.path.join(d, "fifo"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(os.path.join(d, "sock"))
        block = next((e.path for e in os.scandir("/dev")
                      if stat.S_ISBLK(e.stat(follow_symlinks=False).st_mode)), None)
        kinds = {"folder": "directory", "fifo": "fifo", "/dev/null": "character_device",
                 "sock": "socket", block: "block_device", "missing.dat": None}
        kinds.pop(None, None)  # no block device here
        names += [os.fsencode(k) for k in kinds if k != "missing.dat"]
        # Every sample counted (wide.dat's are all past 2^30, markers by default).
        run = subprocess.run([pdx, "info", "--json", "--stats", "--all", "-q", "-j", "3"] + names,
                             cwd=d, capture_output=True)
        text = subprocess.run([pdx, "info", "-q", "-j", "1"] + list(kinds), cwd=d,
                              capture_output=True, text=True).stdout
        sock.close()
    assert run.returncode == 4, run
    lines = run.stdout.decode("utf-8").splitlines()
    records = [json.loads(line) for line in lines]
    for r in records:
        validator.validate(r)
    got = [r["file"] for r in records]
    expected = [os.fsdecode(n) if n[0] < 0x80 else "\ufffd\ufffdname.dat" for n in names]
    assert got == expected, got

    by = {r["file"]: r for r in records}
    assert by["example.dat"]["kind"] == "regular"
    for name, kind in kinds.items():
        got = (by[name]["kind"], by[name]["exists"], by[name]["error"])
        assert got == (kind, kind is not None, None), by[name]
    words = {"directory": "is a folder with no data files in it", None: "does not exist"}
    assert text.splitlines() == [
        "%s: %s" % (k, words.get(v) or "is a %s, not a regular file"
                    % v.replace("_", " ").replace("fifo", "FIFO")) for k, v in kinds.items()], text
    for name, array in (("wide.dat", wide),):
        s = by[name]["stats"]
        assert s["count"] == array.size and s["min"] == array.min() and s["max"] == array.max()
        a = array.astype(np.float64)
        assert abs(s["mean"] - a.mean()) <= 1e-9 * abs(a.mean()), s
        assert abs(s["std"] - (a - a.mean()).std()) <= 1e-9 * a.std(), (s, a.std())
        assert s["float32_exact"] is False
    neg = by["negative.dat"]["stats"]
    assert (neg["min"], neg["max"], neg["float32_exact"]) == (-(2**31), 2**24 + 1, False)
    assert by["example.dat"]["stats"]["float32_exact"] is True
    assert by["nophase.dat"]["reads"] and by["nophase.dat"]["phase"] is None
    assert by["nophase.dat"]["stats"] is None
    short = by["short.dat"]
    assert (short["error"], short["file_size"] + 2) == ("ERR_CORRUPT_DATA_FILE", short["implied_size"])
    assert by["text.dat"]["header_length"] is None
    assert (by["missing.dat"]["status"], by["missing.dat"]["exists"]) == (2, False)
    print("info_json_test: %d records valid" % len(records))


if __name__ == "__main__":
    main(*sys.argv[1:])
