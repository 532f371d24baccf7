#!/usr/bin/env python3
"""Draws the program icon (a wall of four screens) and writes it as a PNG-in-ICO file."""
import struct
import sys
import zlib

SIZE = 64


def pixel(x, y):
    radius = 12
    cx = min(max(x, radius), SIZE - 1 - radius)
    cy = min(max(y, radius), SIZE - 1 - radius)
    if (x - cx) ** 2 + (y - cy) ** 2 > radius ** 2:
        return (0, 0, 0, 0)
    for col in (0, 1):
        for row in (0, 1):
            left, top = 10 + col * 23, 12 + row * 21
            if left <= x < left + 20 and top <= y < top + 16:
                inner = left + 2 <= x < left + 18 and top + 2 <= y < top + 14
                return (120, 200, 255, 255) if inner else (230, 240, 250, 255)
    return (22, 52, 96, 255)


def png():
    raw = b"".join(b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(image):
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(ico(png()))
