#!/usr/bin/env python3
"""Writes the 36 kernel images fpcode_<id>.bin beside this script.

The images stand in for the real flash programming kernels: the program only stores and sends
them. Each starts with a 16-byte header that names its device, mode and clock range, so that a
simulated board can tell whether it received the right one:

  0  "QKRN"        magic
  4  device index  (0 TX-A10, 1 TX-C30, 2 TX-C31)
  5  mode index
  6  clock-range index 0..8
  7  0
  8  resource id, big-endian (2 bytes)
  10 image length, big-endian (2 bytes)
  12 "FPCD"

The body is a deterministic pseudo-random byte string per mode; the images of one mode differ
only in the header's clock byte and id and in four clock-dependent timing bytes at offsets 16-19.
Run it again to reproduce the files byte for byte.
"""
import os
import struct

# (device index, mode index, image length, resource ids for clock ranges 0..8)
VARIANTS = [
    (0, 0, 1725, [186, 148, 149, 150, 151, 152, 153, 154, 155]),
    (1, 0, 896, list(range(190, 199))),
    (2, 0, 1040, list(range(199, 208))),
    (2, 1, 1046, list(range(208, 217))),
]
# Lower bound of each clock range in kHz, for the timing bytes.
CLOCK_KHZ = [1000, 2000, 4000, 6000, 8000, 10000, 12000, 14000, 16000]


def body(device, mode, length):
    state = 0x2545F491 ^ (device << 8) ^ (mode << 4) ^ length
    out = bytearray()
    while len(out) < length:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((state >> 16) & 0xFF)
    return out


def image(device, mode, clock, rid, length):
    data = body(device, mode, length)
    header = b"QKRN" + bytes([device, mode, clock, 0]) + struct.pack(">HH", rid, length) + b"FPCD"
    data[0:16] = header
    khz = CLOCK_KHZ[clock]
    data[16:20] = struct.pack(">HH", khz, (khz * 4) // 9600)
    return bytes(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for device, mode, length, ids in VARIANTS:
        for clock, rid in enumerate(ids):
            with open(os.path.join(here, f"fpcode_{rid}.bin"), "wb") as f:
                f.write(image(device, mode, clock, rid, length))


if __name__ == "__main__":
    main()
