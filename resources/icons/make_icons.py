#!/usr/bin/env python3
"""Draws the application icons (a flash chip with a quill across it) as PNG files.

Deterministic: running it again reproduces the files byte for byte. Standard library only.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

BACK = (0x1F, 0x4E, 0x8C, 255)     # rounded tile
CHIP = (0x2B, 0x2B, 0x2B, 255)     # chip body
PIN = (0xD8, 0xD8, 0xD8, 255)      # chip pins
QUILL = (0xF5, 0xC2, 0x2E, 255)    # the feather
NIB = (0xFF, 0xFF, 0xFF, 255)


def draw(size):
    s = size / 32.0
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def inside_tile(x, y):
        r = 6 * s
        cx = min(max(x, r), size - 1 - r)
        cy = min(max(y, r), size - 1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    for y in range(size):
        for x in range(size):
            if inside_tile(x + 0.5, y + 0.5):
                px[y][x] = BACK

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    rect(9, 9, 23, 23, CHIP)
    for i in range(4):
        p = 10.5 + i * 3.2
        rect(p, 6, p + 1.6, 9, PIN)
        rect(p, 23, p + 1.6, 26, PIN)
        rect(6, p, 9, p + 1.6, PIN)
        rect(23, p, 26, p + 1.6, PIN)

    # The quill: a thick diagonal from the upper right to a nib at the lower left.
    for y in range(size):
        for x in range(size):
            u, v = (x + 0.5) / s, (y + 0.5) / s
            # distance from the line x + y = 32, between (8, 24) and (27, 5)
            d = abs(u + v - 32) / 1.414
            t = (u - v + 16) / 38.0  # 0 at the nib, 1 at the top
            if 0.0 <= t <= 1.0:
                width = 0.6 + 3.2 * min(t * 2.2, 1.0) * (1.0 - 0.5 * max(0.0, t - 0.7) / 0.3)
                if d <= width:
                    px[y][x] = NIB if t < 0.12 else QUILL
    return px


def write_png(path, px):
    size = len(px)
    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in px)

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    # 128 is the large icon, 129 the small one; 48 gives window managers a sharper choice.
    for name, size in (("icon-128.png", 32), ("icon-129.png", 16), ("icon-48.png", 48)):
        write_png(os.path.join(HERE, name), draw(size))
