#!/usr/bin/env python3
"""Draws the updater's icon, a chip with a download arrow, and writes it as a
Windows .ico: one 32 x 32 image, 8 bits per pixel (256-colour palette), with
a transparency mask.

    python3 make_icon.py updater.ico
"""
import struct
import sys

SIZE = 32

# Palette (R, G, B); index 0 is the transparent background.
PALETTE = [
    (0, 0, 0),         # 0 background (masked out)
    (48, 48, 56),      # 1 chip body
    (176, 176, 184),   # 2 pins
    (32, 192, 64),     # 3 arrow
    (16, 96, 32),      # 4 arrow outline
    (84, 84, 96),      # 5 body edge
    (240, 240, 240),   # 6 pin-one mark
]


def draw():
    px = [[0] * SIZE for _ in range(SIZE)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # Pins on all four sides, two pixels wide.
    for p in (9, 13, 17, 21):
        fill(4, p, 7, p + 1, 2)
        fill(24, p, 27, p + 1, 2)
        fill(p, 4, p + 1, 7, 2)
        fill(p, 24, p + 1, 27, 2)
    # Body with a lighter edge and the pin-one mark.
    fill(8, 8, 23, 23, 5)
    fill(9, 9, 22, 22, 1)
    fill(10, 19, 11, 20, 6)

    # Download arrow: shaft from the top edge, head pointing into the chip.
    arrow = set()
    for y in range(1, 13):
        for x in range(14, 18):
            arrow.add((x, y))
    for y in range(13, 21):
        half = 7 - (y - 13)
        for x in range(16 - half - 1, 16 + half + 1):
            arrow.add((x, y))
    for (x, y) in arrow:
        for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            n = (x + dx, y + dy)
            if n not in arrow and 0 <= n[0] < SIZE and 0 <= n[1] < SIZE:
                px[n[1]][n[0]] = 4
    for (x, y) in arrow:
        px[y][x] = 3
    return px


def ico_bytes(px):
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    palette += b"\0" * (256 * 4 - len(palette))
    # Rows are stored bottom-up; 32 one-byte pixels need no row padding.
    xor = b"".join(bytes(px[y]) for y in reversed(range(SIZE)))
    mask = b""
    for y in reversed(range(SIZE)):
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if px[y][x] == 0 else 0)
        mask += struct.pack(">I", bits)  # 32 bits, most significant pixel first
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    image = header + palette + xor + mask
    # Width, height, colour count (0 = 256), reserved, planes, bits, size, offset.
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return struct.pack("<HHH", 0, 1, 1) + entry + image


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(ico_bytes(draw()))
