#!/usr/bin/env python3
"""Reads back the default icon that resources/make_icon.py writes: the icon
directory, the bitmaps, and the 256-pixel PNG, decoded here (chunk CRCs,
zlib, the row filters) and compared pixel by pixel with the rendering.

    icon_test.py MAKE_ICON.py SCRATCH_DIR
"""
import os
import struct
import sys
import zlib

# The source tree stays as it is: no byte-code cache beside the script.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[1])))
import make_icon  # noqa: E402
# One sample a pixel: the encoding does not depend on the smoothing, and the
# test runs in a fraction of the time.
make_icon.SAMPLES = 1

os.makedirs(sys.argv[2], exist_ok=True)
path = os.path.join(sys.argv[2], "icon.ico")
sys.argv = ["make_icon.py", path]
assert make_icon.main() == 0
data = open(path, "rb").read()


def decode_png(png):
    """RGBA rows of a non-interlaced 8-bit RGBA PNG."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    at, chunks = 8, []
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        body = png[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", png[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(kind + body), "bad CRC in " + kind.decode()
        chunks.append((kind, body))
        at += 12 + length
    assert [k for k, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"], chunks
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, colour, interlace) == (8, 6, 0)
    raw = zlib.decompress(chunks[1][1])
    stride = width * 4
    assert len(raw) == height * (stride + 1)
    rows, above = [], bytes(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            if kind == 1:
                line[i] = (line[i] + (line[i - 4] if i >= 4 else 0)) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + above[i]) & 0xFF
            else:
                assert kind == 0, "filter %d" % kind
        rows.append([tuple(line[x:x + 4]) for x in range(0, stride, 4)])
        above = bytes(line)
    return width, height, rows


reserved, kind, count = struct.unpack("<HHH", data[:6])
assert (reserved, kind, count) == (0, 1, 6)
end = 6 + 16 * count
for index, size in enumerate((16, 24, 32, 48, 64, 256)):
    w, h, _, _, planes, bits, length, offset = struct.unpack("<BBBBHHII", data[6 + 16 * index:22 + 16 * index])
    assert (w, h, planes, bits) == (size % 256, size % 256, 1, 32), (size, w, h, planes, bits)
    assert offset == end, "image %d at %d, not right after the previous one" % (size, offset)
    end += length
    image = data[offset:offset + length]
    if size == 256:
        width, height, rows = decode_png(image)
        assert (width, height) == (256, 256)
        expected = [[(r, g, b, a) for b, g, r, a in row] for row in make_icon.render(256)]
        assert rows == expected, "the PNG's pixels differ from the rendering"
    else:
        assert struct.unpack("<Iii", image[:12]) == (40, size, 2 * size)
assert end == len(data), "the file has %d bytes, the images end at %d" % (len(data), end)
print("icon: 6 images, the 256-pixel one a PNG of %d bytes; file %d bytes" % (length, len(data)))
