#!/usr/bin/env python3
"""Writes the program's icon, app.ico beside this script: a red LED, lit, above
and left of a raised push button, at 16x16 and 32x32 pixels in 16 colours
(Windows XP reads such icons; each size drawn from the same shapes, with
edges one pixel wide per 16 pixels of size). Run it again after changing the
drawing: python3 resources/make_icon.py
"""
import os
import struct

# 16 palette entries (red, green, blue); the index is what each pixel stores.
PALETTE = [
    (0, 0, 0),        # 0 transparent (masked) and outlines
    (96, 0, 0),       # 1 LED rim
    (200, 16, 16),    # 2 LED body
    (255, 96, 80),    # 3 LED glow
    (255, 255, 255),  # 4 LED highlight, button's lit edge
    (128, 128, 128),  # 5 button's shaded edge
    (212, 208, 200),  # 6 button face
    (64, 64, 64),     # 7 cap's rim
    (160, 160, 160),  # 8 cap
] + [(0, 0, 0)] * 7
TRANSPARENT = None


def pixel(size, x, y):
    """The palette index at pixel (x, y) of a size x size icon, or TRANSPARENT."""
    edge = size // 16  # one pixel at 16, two at 32
    u, v = (x + 0.5) / size, (y + 0.5) / size
    # The push button: a raised square at the lower right with a round cap.
    left, top, right, bottom = int(size * 0.44), int(size * 0.50), size - 1, size - 1
    if left <= x <= right and top <= y <= bottom:
        if x > right - edge or y > bottom - edge:
            return 0
        if x < left + edge or y < top + edge:
            return 4
        if x > right - 2 * edge or y > bottom - 2 * edge:
            return 5
        cx, cy, r = (left + right) / 2 / size, (top + bottom) / 2 / size, 0.14
        d = ((u - cx) ** 2 + (v - cy) ** 2) ** 0.5
        if d <= r:
            return 8 if d <= r - edge / size else 7
        return 6
    # The LED: a red disc with a dark rim, a glow and a highlight.
    cx, cy, r = 0.34, 0.34, 0.30
    d = ((u - cx) ** 2 + (v - cy) ** 2) ** 0.5
    if d <= r:
        if d > r - edge / size:
            return 1
        h = ((u - (cx - 0.11)) ** 2 + (v - (cy - 0.11)) ** 2) ** 0.5
        if h <= 0.07:
            return 4
        return 3 if h <= 0.15 else 2
    return TRANSPARENT


def image(size):
    """One icon image: a BITMAPINFOHEADER of twice the height, the palette, the
    4-bit colour rows and the 1-bit mask rows, both bottom-up, each padded to
    four bytes."""
    colour_row, mask_row = (size * 4 + 31) // 32 * 4, (size + 31) // 32 * 4
    colours, mask = b"", b""
    for y in reversed(range(size)):
        row = [pixel(size, x, y) for x in range(size)]
        nibbles = [0 if p is TRANSPARENT else p for p in row]
        packed = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        colours += packed.ljust(colour_row, b"\0")
        bits = 0
        for p in row:
            bits = (bits << 1) | (p is TRANSPARENT)
        mask += bits.to_bytes(size // 8, "big").ljust(mask_row, b"\0")
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + colours + mask


def main():
    sizes = (16, 32)
    images = [image(size) for size in sizes]
    icon = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        icon += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico"), "wb") as f:
        f.write(icon + b"".join(images))


if __name__ == "__main__":
    main()
