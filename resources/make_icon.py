#!/usr/bin/env python3
"""Writes the launcher's default icon: an upward arrow over a launch pad on a
teal tile, as one .ico file with 16, 24, 32, 48, 64 and 256 pixel images in
32-bit colour with alpha. The 256-pixel image is stored as PNG, as Windows
reads it since Vista: as a bitmap it alone would take a quarter of a
megabyte of every launcher. The smaller ones stay bitmaps, which every
reader of icons understands.

    make_icon.py OUTPUT.ico

The pixels are computed, not drawn by hand, so every run writes the same bytes.
Each pixel is the average of 4 x 4 samples, which gives the shapes smooth edges
at every size.
"""

import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)
PNG_SIZES = (256,)
SAMPLES = 4

TILE_TOP = (0x24, 0x8F, 0x9C)
TILE_BOTTOM = (0x15, 0x5E, 0x68)
ARROW = (0xFF, 0xFF, 0xFF)
PAD = (0xFF, 0xC1, 0x4D)


def in_tile(x, y):
    """A square with rounded corners, inset a little from the image edge."""
    inset, radius = 0.04, 0.2
    left, top, right, bottom = inset, inset, 1 - inset, 1 - inset
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def in_arrow(x, y):
    """An upward arrow: a triangular head on a shaft."""
    if 0.18 <= y <= 0.48:
        half = (y - 0.18) / 0.30 * 0.27
        return abs(x - 0.5) <= half
    return 0.48 <= y <= 0.70 and abs(x - 0.5) <= 0.09


def in_pad(x, y):
    return 0.76 <= y <= 0.84 and abs(x - 0.5) <= 0.26


def colour_at(x, y):
    """Colour of one sample point, or None outside the tile."""
    if not in_tile(x, y):
        return None
    if in_arrow(x, y):
        return ARROW
    if in_pad(x, y):
        return PAD
    t = y
    return tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM))


def render(size):
    """Rows of (b, g, r, a), top row first."""
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(SAMPLES):
                y = (py * SAMPLES + sy + 0.5) * step
                for sx in range(SAMPLES):
                    x = (px * SAMPLES + sx + 0.5) * step
                    colour = colour_at(x, y)
                    if colour is None:
                        continue
                    covered += 1
                    for i in range(3):
                        total[i] += colour[i]
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (round(c / covered) for c in total)
                row.append((b, g, r, round(255 * covered / (SAMPLES * SAMPLES))))
        rows.append(row)
    return rows


def bitmap(size):
    """One icon image: a BITMAPINFOHEADER of double height (colour plus mask),
    the BGRA pixels bottom row first, then the 1-bit AND mask, whose rows are
    padded to 32 bits. Alpha carries the shape; the mask marks the fully
    transparent pixels for systems that ignore alpha."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for pixel in row:
            pixels += bytes(pixel)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for px, pixel in enumerate(row):
            if pixel[3] == 0:
                line[px // 8] |= 0x80 >> (px % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data)))


def png(size):
    """One icon image as PNG: 8-bit RGBA, top row first. Each row is stored
    with the filter that leaves the smallest sum of bytes taken as signed,
    the usual heuristic; the compressor does the rest. No gamma or time
    chunks, so the bytes depend on the pixels alone."""
    raw = bytearray()
    above = bytes(size * 4)
    for row in render(size):
        line = bytes(c for b, g, r, a in row for c in (r, g, b, a))
        candidates = [bytes([0]) + line]
        # Filter 1 subtracts the pixel on the left, filter 2 the one above.
        sub = bytes((line[i] - (line[i - 4] if i >= 4 else 0)) & 0xFF for i in range(len(line)))
        up = bytes((line[i] - above[i]) & 0xFF for i in range(len(line)))
        candidates += [bytes([1]) + sub, bytes([2]) + up]
        raw += min(candidates, key=lambda c: sum(min(v, 256 - v) for v in c[1:]))
        above = line
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def icon():
    images = [png(size) if size in PNG_SIZES else bitmap(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip(SIZES, images):
        # A width or height of 256 is written as 0.
        side = size % 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(sys.argv[1], "wb") as out:
        out.write(icon())
    return 0


if __name__ == "__main__":
    sys.exit(main())
