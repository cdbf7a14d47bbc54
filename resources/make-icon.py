#!/usr/bin/env python3
"""Draws the bootstrapper's icon (a lens over a frame) and writes Corvane.ico.

Run by hand when the artwork changes; the .ico is committed. Images: 32x32 first, then 16x16,
both 32 bits per pixel, so the resource compiler numbers them 1 and 2.
"""
import struct
import sys


def draw(size):
    pixels = []
    c = (size - 1) / 2.0
    for y in range(size):
        row = []
        for x in range(size):
            dx, dy = x - c, y - c
            r = (dx * dx + dy * dy) ** 0.5
            inset = size // 8
            frame = inset <= x < size - inset and inset <= y < size - inset
            if r <= size * 0.22:
                row.append((0xF5, 0xE6, 0xC8, 0xFF))  # lens glass (BGRA)
            elif r <= size * 0.30:
                row.append((0x40, 0x30, 0x20, 0xFF))  # lens rim
            elif frame and (x in (inset, size - inset - 1) or y in (inset, size - inset - 1)):
                row.append((0xD0, 0x7A, 0x1E, 0xFF))  # frame edge
            elif frame:
                row.append((0xA8, 0x52, 0x10, 0xFF))  # frame fill
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def image_bytes(size):
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes(p) for row in reversed(pixels) for p in row)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)
    return header + xor + and_mask


def main(path):
    sizes = [32, 16]
    images = [image_bytes(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Corvane.ico")
