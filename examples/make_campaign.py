#!/usr/bin/python3
"""Writes a measurement campaign of data files, as a lab would bring back:
tilted, domed surfaces with noise, dropout holes and an aperture whose
outside is marked, as instruments mark samples they could not measure, by
the largest 32-bit value.

    make_campaign.py DIR [--count N] [--width W] [--height H] [--seed S]

writes DIR/map_000.dat ... (4096-byte headers, phase blocks only, each map
at its own camera origin). The phase counts of a surface lie around 1,000,
within a few thousand. numpy only; importable (surface, data_file).
"""

import argparse
import os
import struct

import numpy as np

MARKER = 2**31 - 1


def surface(rng, width, height):
    """One map of int32 counts: tilt, dome, noise, marked holes and edges."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    cx = width * rng.uniform(0.35, 0.65)
    cy = height * rng.uniform(0.35, 0.65)
    r2 = ((x - cx) ** 2 + (y - cy) ** 2) / (min(width, height) / 2) ** 2
    z = (1000 + rng.uniform(-1500, 1500) * (x / width - 0.5)
         + rng.uniform(-1500, 1500) * (y / height - 0.5)
         + rng.uniform(-2500, 2500) * r2
         + rng.normal(0, 15, (height, width)))
    phase = np.rint(z).astype(np.int32)
    # The aperture: a disc a little smaller or larger than the frame.
    aperture = min(width, height) / 2 * rng.uniform(0.9, 1.1)
    phase[(x - width / 2) ** 2 + (y - height / 2) ** 2 > aperture**2] = MARKER
    # Dropout holes: a few ellipses, and single samples here and there.
    for _ in range(rng.integers(1, 6)):
        hx, hy = rng.uniform(0, width), rng.uniform(0, height)
        ax, ay = rng.uniform(2, max(width / 12, 2)), rng.uniform(2, max(height / 12, 2))
        phase[((x - hx) / ax) ** 2 + ((y - hy) / ay) ** 2 <= 1] = MARKER
    phase[rng.random((height, width)) < 0.002] = MARKER
    return phase


def data_file(phase, x=0, y=0):
    """The bytes of a data file holding `phase` at camera origin (x, y)."""
    height, width = phase.shape
    head = bytearray(4096)
    head[0:4] = struct.pack(">I", 0x881B0371)
    head[64:76] = struct.pack(">hhhhi", x, y, width, height, phase.size * 4)
    return bytes(head) + phase.astype(">i4").tobytes()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("dir")
    p.add_argument("--count", type=int, default=12)
    p.add_argument("--width", type=int, default=320)
    p.add_argument("--height", type=int, default=240)
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = np.random.default_rng(a.seed)
    os.makedirs(a.dir, exist_ok=True)
    for i in range(a.count):
        phase = surface(rng, a.width, a.height)
        origin = (int(rng.integers(0, 200)), int(rng.integers(0, 200)))
        with open(os.path.join(a.dir, "map_%03d.dat" % i), "wb") as f:
            f.write(data_file(phase, *origin))


if __name__ == "__main__":
    main()
