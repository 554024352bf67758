#!/usr/bin/env python3
"""Writes the setup program's icon: one 32 x 32 image in 16 colours.

The picture is a parcel with a green arrow pointing down into it, drawn
from the few shapes below. Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 32

# The 16-colour palette (the classic VGA order), as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, OLIVE, GREEN, BRIGHT_GREEN, YELLOW = 0, 3, 2, 10, 11
TRANSPARENT = None


def draw():
    """Returns rows top to bottom of palette indices or TRANSPARENT."""
    px = [[TRANSPARENT] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # The parcel: front face, lid and outline.
    rect(4, 16, 27, 30, OLIVE)
    rect(2, 13, 29, 16, YELLOW)
    for x in range(2, 30):
        px[13][x] = px[16][x] = px[30][x] = BLACK
    for y in range(13, 31):
        px[y][2 if y <= 16 else 4] = BLACK
        px[y][29 if y <= 16 else 27] = BLACK
    rect(14, 17, 17, 29, YELLOW)  # tape down the front
    # The arrow: a shaft and a head reaching into the lid.
    rect(13, 1, 18, 8, BRIGHT_GREEN)
    for i in range(7):
        y = 8 + i
        rect(9 + i, y, 22 - i, y, BRIGHT_GREEN)
    for y in range(1, 9):
        px[y][12] = px[y][19] = GREEN
    for i in range(7):
        px[8 + i][8 + i] = px[8 + i][23 - i] = GREEN
    return px


def icon_bytes(px):
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):  # DIB rows bottom-up
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)  # 32 pixels, rows already 4-aligned
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    return icondir + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(icon_bytes(draw()))


if __name__ == "__main__":
    main()
