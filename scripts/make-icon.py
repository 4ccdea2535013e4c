#!/usr/bin/env python3
"""Draws Quorvane's icon and writes it as a Windows .ico file.

    make-icon.py OUTPUT.ico

The icon holds the classic 32 x 32 image with 24-bit colour (and a 1-bit transparency mask)
first, then 16 x 16, 48 x 48 and 64 x 64 images with 32-bit colour and alpha, and a 256 x 256
PNG image. Only Python's standard library is used, so the build needs nothing else.

The picture: a white sheet with lines of text and a signature stroke, sealed by a red wax seal,
on a blue rounded square.
"""
import math
import struct
import sys
import zlib

SUPERSAMPLE = 4


def rounded_box(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and left <= x <= right and top <= y <= bottom


def near_segment(x, y, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= (width / 2) ** 2


def signature_stroke(x, y):
    # A handwritten-looking wave across the lower part of the sheet.
    if not 0.30 <= x <= 0.62:
        return False
    t = (x - 0.30) / 0.32
    wave = 0.635 + 0.035 * math.sin(t * 3.2 * math.pi) * (1.0 - 0.4 * t)
    return abs(y - wave) <= 0.017


def colour_at(x, y):
    """RGBA of the picture at (x, y) in the unit square (y grows downwards)."""
    colour = None
    if rounded_box(x, y, 0.03, 0.03, 0.97, 0.97, 0.18):
        shade = 0.85 + 0.15 * (1.0 - y)
        colour = (int(28 * shade), int(86 * shade), int(170 * shade), 255)
    # The sheet, with its top right corner folded.
    fold = 0.12
    if 0.22 <= x <= 0.72 and 0.12 <= y <= 0.86 and not (x > 0.72 - fold and y < 0.12 + fold and
                                                         (x - (0.72 - fold)) > (y - 0.12)):
        colour = (250, 250, 247, 255)
        if x > 0.72 - fold and y < 0.12 + fold:
            colour = (205, 212, 222, 255)
        for line_y in (0.26, 0.34, 0.42, 0.50):
            line_end = 0.66 if line_y > 0.26 else 0.54
            if near_segment(x, y, 0.30, line_y, line_end, line_y, 0.035):
                colour = (150, 160, 175, 255)
        if signature_stroke(x, y):
            colour = (20, 45, 110, 255)
    # The seal.
    d = math.hypot(x - 0.70, y - 0.76)
    if d <= 0.17:
        colour = (196, 32, 38, 255)
        if 0.105 <= d <= 0.125:
            colour = (236, 110, 100, 255)
        if d <= 0.06 and abs(x - 0.70) + abs(y - 0.76) <= 0.07:
            colour = (240, 200, 190, 255)
    return colour or (0, 0, 0, 0)


def render(size):
    """Rows of (r, g, b, a) from the top, antialiased by supersampling."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    cr, cg, cb, ca = colour_at((px + (sx + 0.5) / n) / size,
                                               (py + (sy + 0.5) / n) / size)
                    r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
            if a:
                row.append((round(r / a), round(g / a), round(b / a), round(a / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def mask_bits(rows, size):
    """The 1-bit AND mask, bottom-up, rows padded to 32 bits: 1 where transparent."""
    stride = ((size + 31) // 32) * 4
    data = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        data += bytes(bits)
    return data


def bmp_image(rows, size, bit_count):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0, 0, 0, 0, 0, 0)
    pixels = b""
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, a in row:
            if bit_count == 24:
                line += bytes((b, g, r) if a >= 128 else (0, 0, 0))
            else:
                line += bytes((b, g, r, a))
        line += bytes((-len(line)) % 4)
        pixels += bytes(line)
    return header + pixels + mask_bits(rows, size)


def png_image(rows, size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    images = [(32, 24, bmp_image(render(32), 32, 24))]
    for size in (16, 48, 64):
        images.append((size, 32, bmp_image(render(size), size, 32)))
    images.append((256, 32, png_image(render(256), 256)))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, bit_count, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bit_count,
                               len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as out:
        out.write(directory + entries + b"".join(data for _, _, data in images))


if __name__ == "__main__":
    main()
