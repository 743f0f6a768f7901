#!/usr/bin/env python3
"""Regenerates the bundled demo files: a 6 KiB program image and its Config.txt."""
import pathlib

here = pathlib.Path(__file__).resolve().parent.parent / "examples"
size = 6 * 1024

# A recognisable header, then a deterministic pseudo-random body (a 32-bit LCG), then a
# 32-byte trailer of the kind the old black-box format replaces.
image = bytearray(b"VELL DEMO BOARD 1.0\x00")
state = 0x1D872B41
while len(image) < size - 32:
    state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
    image.append(state >> 24)
trailer = bytes([0x5A, 0xA5]) + bytes(range(1, 31))
image += trailer
(here / "demo-board.bin").write_bytes(bytes(image))

# Line 1 and 2 are descriptive; lines 3..34 give the 32 trailer bytes of a black-box load.
values = [0x5A, 0xA5] + [16 + i for i in range(30)]
lines = ["Vell demo board", "Trailer for the old black box format"]
lines += ["&H%02X" % v if i % 4 == 0 else str(v) for i, v in enumerate(values)]
(here / "Config.txt").write_bytes(("\r\n".join(lines) + "\r\n").encode("ascii"))
