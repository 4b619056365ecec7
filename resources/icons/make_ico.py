#!/usr/bin/env python3
"""Packs PNG icons into one Windows .ico file: make_ico.py OUT.ico IN.png...

Each image is stored as the PNG it is, which Windows reads from an icon file since Vista.
"""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("make_ico: not a PNG file")
    return struct.unpack(">II", data[16:24])


def main(out, inputs):
    images = []
    for path in inputs:
        with open(path, "rb") as f:
            data = f.read()
        width, height = png_size(data)
        if width > 256 or height > 256:
            raise SystemExit(f"make_ico: {path} is larger than 256 pixels")
        images.append((width, height, data))
    images.sort(key=lambda image: image[0])
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    entries, blobs = b"", b""
    for width, height, data in images:
        # 256 is written as 0 in the directory's one-byte fields.
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    with open(out, "wb") as f:
        f.write(head + entries + blobs)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit("usage: make_ico.py OUT.ico IN.png...")
    main(sys.argv[1], sys.argv[2:])
