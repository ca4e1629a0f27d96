#!/usr/bin/env python3
"""Draws the program icon (a chip with a download arrow) and writes Kestrel.ico:
a 32x32 and a 16x16 image, 16 colours each (the standard VGA palette)."""
import struct
import sys

# The standard 16-colour palette, as (B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # RGB
BLACK, DARK_GRAY, LIGHT_GRAY, WHITE = 0, 8, 7, 15
YELLOW, DARK_BLUE, BLUE = 11, 4, 12
CLEAR = None  # transparent


def draw(size):
    """Returns rows (top first) of palette indices or CLEAR."""
    px = [[CLEAR] * size for _ in range(size)]
    s = size / 32.0

    def box(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s + 0.5))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s + 0.5))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    # Pins on all four sides.
    for i in range(5):
        p = 8 + i * 4
        box(p, 2, p + 2, 6, LIGHT_GRAY)
        box(p, 26, p + 2, 30, LIGHT_GRAY)
        box(2, p, 6, p + 2, LIGHT_GRAY)
        box(26, p, 30, p + 2, LIGHT_GRAY)
    # Body with an outline.
    box(5, 5, 27, 27, BLACK)
    box(6, 6, 26, 26, DARK_BLUE)
    # The download arrow: shaft and head.
    box(14, 8, 18, 17, YELLOW)
    for row in range(6):
        box(10 + row, 17 + row, 22 - row, 18 + row, YELLOW)
    # The flash line the arrow points at.
    box(9, 23, 23, 25, WHITE)
    return px


def image(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = b''
    mask = b''
    for row in reversed(rows):  # bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            value = 0 if colour is CLEAR else colour
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if colour is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(line)
        mask += bytes(bits)
    return header + palette + xor + mask


def main(path):
    images = [(32, image(32)), (16, image(16))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'Kestrel.ico')
