#!/usr/bin/env python3
"""Writes the sample product's pictures as 24-bit Windows bitmaps: the
welcome picture (164 x 314, inside the 500 x 314 limit) and the license
header picture (55 x 55, the strip's height). Drawn here from simple
gradients so the demo needs no image files.

Usage: make_bitmaps.py OUTDIR"""
import os
import struct
import sys


def bmp(path, w, h, pixel):
    row = (w * 3 + 3) // 4 * 4
    data = bytearray()
    for y in range(h - 1, -1, -1):  # bottom-up rows
        line = bytearray()
        for x in range(w):
            r, g, b = pixel(x, y)
            line += bytes((b, g, r))
        data += line + b"\0" * (row - len(line))
    header = b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def welcome(x, y):
    # A deep blue panel with a lighter band and a simple "device" outline.
    r, g, b = 20 + y // 6, 60 + y // 4, 150 + y // 5
    if 42 <= x <= 122 and 80 <= y <= 220 and (x in (42, 43, 121, 122) or y in (80, 81, 219, 220)):
        return (240, 240, 240)
    if 52 <= x <= 112 and 95 <= y <= 185:
        return (200, 225, 245)
    return (min(r, 255), min(g, 255), min(b, 255))


def header(x, y):
    d = abs(x - 27) + abs(y - 27)
    if d < 18:
        return (30, 90 + d * 5, 170)
    return (255, 255, 255)


if __name__ == "__main__":
    if len(sys.argv) > 2 or (len(sys.argv) == 2 and sys.argv[1].startswith("-")):
        sys.exit(__doc__)
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    bmp(os.path.join(out, "welcome.bmp"), 164, 314, welcome)
    bmp(os.path.join(out, "header.bmp"), 55, 55, header)
