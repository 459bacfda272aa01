#!/usr/bin/env python3
"""Draws Tidemark's icon: a high-water mark above the sea, on a night-blue
tile. Writes an .ico with two 32-bit images, 128x128 and 48x48.

usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZES = (128, 48)
SUPERSAMPLING = 4

SKY_TOP = (0x1B, 0x2F, 0x5C)
SKY_BOTTOM = (0x2D, 0x5B, 0x8F)
SEA_TOP = (0x2A, 0xA7, 0xC9)
SEA_BOTTOM = (0x0B, 0x4A, 0x78)
FOAM = (0xE8, 0xF6, 0xFA)
MARK = (0xF4, 0xC1, 0x4F)

CORNER = 0.2
MARGIN = 0.03


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def inside_tile(x, y):
    """Rounded square with corner radius CORNER inside a small margin."""
    lo, hi = MARGIN + CORNER, 1 - MARGIN - CORNER
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= CORNER * CORNER


def wave(x):
    return 0.60 + 0.055 * math.sin(2 * math.pi * (1.3 * x + 0.15))


def mark_stroke(x, y):
    """The high-water mark: a dashed golden line with a gauge tick at each end."""
    if 0.16 <= x <= 0.84 and abs(y - 0.34) <= 0.026:
        return int((x - 0.16) / 0.085) % 4 != 3
    for post in (0.16, 0.84):
        if abs(x - post) <= 0.026 and 0.27 <= y <= 0.41:
            return True
    return False


def colour_at(x, y):
    """Straight RGBA (0-255 floats) of the picture at (x, y) in the unit square."""
    if not inside_tile(x, y):
        return (0.0, 0.0, 0.0, 0.0)
    surface = wave(x)
    if y >= surface:
        rgb = mix(SEA_TOP, SEA_BOTTOM, (y - surface) / max(1 - surface, 1e-6))
        if y - surface <= 0.035:
            rgb = FOAM
        # A second, fainter swell lower down.
        if abs(y - (0.80 + 0.03 * math.sin(2 * math.pi * (1.7 * x + 0.6)))) <= 0.018:
            rgb = mix(rgb, FOAM, 0.45)
    else:
        rgb = mix(SKY_TOP, SKY_BOTTOM, y / surface)
        if mark_stroke(x, y):
            rgb = MARK
    return (rgb[0], rgb[1], rgb[2], 255.0)


def render(size):
    """Rows top to bottom of (b, g, r, a) bytes, premultiplied while averaging."""
    rows = []
    n = SUPERSAMPLING
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    cr, cg, cb, ca = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    w = ca / 255.0
                    r += cr * w
                    g += cg * w
                    b += cb * w
                    a += ca
            count = n * n
            alpha = a / count
            if alpha > 0:
                scale = 255.0 / a  # back to straight colour
                row += bytes((round(b * scale), round(g * scale), round(r * scale), round(alpha)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def dib(size):
    """A 32-bit icon image: header, bottom-up BGRA pixels, then the AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(size):
            if row[4 * x + 3] == 0:  # fully transparent: show the background
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = [(size, dib(size)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
