#!/usr/bin/python3
"""Writes the program's icon: a plain application window, drawn in code.

Three classic BMP-in-ICO images, in this order: 32x32 at 1 bpp, 32x32 at 4 bpp and
16x16 at 4 bpp, so the icon shows on every Windows from XP on, in any colour depth.
The output is byte-for-byte the same on every run.

Usage: make-icon.py [OUTPUT]   (default: res/flashgate.ico in the repository)
"""

import struct
import sys
from pathlib import Path

# Windows' default 16-colour palette, in the order 4 bpp DIBs use, as (R, G, B).
VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
MONO = [(0x00, 0x00, 0x00), (0xFF, 0xFF, 0xFF)]

# What each part of the picture is painted with, per palette (indices into it).
# Index 0 must be black in both: transparent pixels are 0 in the colour bitmap, so
# that the AND mask alone decides them and the screen behind shows unchanged.
COLOURS = {
    1: {"frame": 0, "title": 0, "client": 1, "box": 1, "cross": 0},
    4: {"frame": 0, "title": 4, "client": 15, "box": 7, "cross": 0},
}

# Geometry per size: transparent margin, title bar rows and close-box side, in pixels.
LAYOUT = {
    32: {"margin": 2, "title": 7, "box": 5},
    16: {"margin": 1, "title": 4, "box": 2},
}


def draw(size, bpp):
    """Returns (pixels, mask): rows top-down of palette indices, and of 1 = transparent."""
    layout, colour = LAYOUT[size], COLOURS[bpp]
    left = top = layout["margin"]
    right = bottom = size - 1 - layout["margin"]
    title_bottom = top + layout["title"]  # last title-bar row, just inside the frame
    box = layout["box"]
    # The close box sits one pixel in from the title bar's right end, centred vertically.
    box_right = right - 2
    box_left = box_right - box + 1
    box_top = top + 1 + (layout["title"] - box) // 2
    box_bottom = box_top + box - 1

    pixels = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            mask[y][x] = 0
            if x in (left, right) or y in (top, bottom):
                part = "frame"
            elif y <= title_bottom:
                part = "title"
                if box_left <= x <= box_right and box_top <= y <= box_bottom:
                    part = "box"
                    # A cross in boxes big enough to show one.
                    bx, by = x - box_left, y - box_top
                    if box >= 5 and 0 < bx < box - 1 and 0 < by < box - 1 and (
                            bx == by or bx == box - 1 - by):
                        part = "cross"
            else:
                part = "client"
            pixels[y][x] = colour[part]
    return pixels, mask


def pack_rows(rows, bpp):
    """Packs rows bottom-up, most significant bits first, each padded to 4 bytes."""
    out = bytearray()
    per_byte = 8 // bpp
    for row in reversed(rows):
        packed = bytearray()
        for start in range(0, len(row), per_byte):
            byte = 0
            for value in row[start:start + per_byte]:
                byte = (byte << bpp) | value
            byte <<= bpp * (per_byte - len(row[start:start + per_byte]))
            packed.append(byte)
        packed.extend(b"\0" * (-len(packed) % 4))
        out += packed
    return bytes(out)


def image(size, bpp):
    """One icon image: BITMAPINFOHEADER (height doubled), palette, XOR bitmap, AND mask."""
    pixels, mask = draw(size, bpp)
    palette = MONO if bpp == 1 else VGA16
    xor_bits = pack_rows(pixels, bpp)
    and_bits = pack_rows(mask, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(xor_bits) + len(and_bits), 0, 0, 0, 0)
    rgbquads = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + rgbquads + xor_bits + and_bits


def icon_file(specs):
    """ICONDIR, one ICONDIRENTRY per image, then the images in the same order."""
    images = [image(size, bpp) for size, bpp in specs]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for (size, bpp), data in zip(specs, images):
        directory += struct.pack("<BBBBHHII", size, size, 1 << bpp, 0, 1, bpp,
                                 len(data), offset)
        offset += len(data)
    return directory + b"".join(images)


def main(argv):
    default = Path(__file__).resolve().parent.parent / "res" / "flashgate.ico"
    if len(argv) > 2:
        sys.exit(f"usage: {Path(argv[0]).name} [OUTPUT]")
    output = Path(argv[1]) if len(argv) == 2 else default
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_bytes(icon_file([(32, 1), (32, 4), (16, 4)]))


if __name__ == "__main__":
    main(sys.argv)
