#!/usr/bin/env python3
"""Draws the program icon (a wall of four screens) at any size.

    make_icon.py FILE.ico                 the 64-pixel PNG-in-ICO file the program carries
    make_icon.py --theme DIR SIZE...      DIR/SIZExSIZE/apps/nimbara.png for each size and
                                          DIR/scalable/apps/nimbara.svg (a hicolor icon theme tree)
"""
import os
import struct
import sys
import zlib

# The drawing is laid out on a 64 by 64 grid and scaled to the size asked for.
GRID = 64
RADIUS = 12
BACKGROUND = (22, 52, 96, 255)
FRAME = (230, 240, 250, 255)
GLASS = (120, 200, 255, 255)


def screens():
    for col in (0, 1):
        for row in (0, 1):
            yield 10 + col * 23, 12 + row * 21


def pixel(x, y):
    cx = min(max(x, RADIUS), GRID - 1 - RADIUS)
    cy = min(max(y, RADIUS), GRID - 1 - RADIUS)
    if (x - cx) ** 2 + (y - cy) ** 2 > RADIUS ** 2:
        return (0, 0, 0, 0)
    for left, top in screens():
        if left <= x < left + 20 and top <= y < top + 16:
            inner = left + 2 <= x < left + 18 and top + 2 <= y < top + 14
            return GLASS if inner else FRAME
    return BACKGROUND


def render(size):
    """Rows of RGBA pixels. At other sizes than the grid's each pixel averages 4 x 4 samples, so edges
    stay smooth and small icons keep every line of the drawing; at the grid size the drawing is exact."""
    samples = 1 if size == GRID else 4
    step = GRID / (size * samples)
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = pixel((x * samples + sx) * step, (y * samples + sy) * step)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3]
            if alpha == 0:
                row += bytes(4)
            else:
                row += bytes((round(total[0] / alpha), round(total[1] / alpha), round(total[2] / alpha),
                              round(alpha / samples ** 2)))
        rows.append(bytes(row))
    return rows


def png(size):
    raw = b"".join(b"\x00" + row for row in render(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def svg():
    def colour(rgba):
        return "#%02x%02x%02x" % rgba[:3]

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">' % ((GRID,) * 4),
             '<rect width="%d" height="%d" rx="%d" fill="%s"/>' % (GRID, GRID, RADIUS, colour(BACKGROUND))]
    for left, top in screens():
        parts.append('<rect x="%d" y="%d" width="20" height="16" fill="%s"/>' % (left, top, colour(FRAME)))
        parts.append('<rect x="%d" y="%d" width="16" height="12" fill="%s"/>' % (left + 2, top + 2, colour(GLASS)))
    parts.append("</svg>\n")
    return "\n".join(parts).encode()


def ico(image):
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", GRID, GRID, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def write(path, content):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as out:
        out.write(content)


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--theme":
        theme = sys.argv[2]
        for size in map(int, sys.argv[3:]):
            write(os.path.join(theme, "%dx%d" % (size, size), "apps", "nimbara.png"), png(size))
        write(os.path.join(theme, "scalable", "apps", "nimbara.svg"), svg())
    elif len(sys.argv) == 2:
        write(sys.argv[1], ico(png(GRID)))
    else:
        sys.exit(__doc__)
