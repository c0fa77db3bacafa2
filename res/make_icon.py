#!/usr/bin/env python3
"""Draws the tool's icons: a TPM chip with pins and a check mark, in two colours.

usage: make_icon.py (chip|chip-alt) OUT.ico
Each icon holds 16x16 and 32x32 images, 32 bits per pixel with alpha.
"""
import struct
import sys

COLOURS = {
    "chip": ((0x1F, 0x4E, 0x8C), (0x3C, 0xB0, 0x4A)),
    "chip-alt": ((0x5A, 0x2D, 0x82), (0xF0, 0xB4, 0x1E)),
}


def pixel(x, y, n, body, mark):
    """Colour (r, g, b, a) of pixel (x, y) in an n-by-n image."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    pins = 0.08 <= u <= 0.92 and (abs(v - 0.14) < 0.07 or abs(v - 0.86) < 0.07)
    if pins and int(u * 8) % 2 == 1:
        return (0xB0, 0xB0, 0xB0, 255)
    if 0.16 <= u <= 0.84 and 0.2 <= v <= 0.8:
        # check mark: two strokes across the chip's face
        d1 = abs((v - 0.52) - (u - 0.32))
        d2 = abs((v - 0.66) + (u - 0.46) * 0.9)
        if (0.3 <= u <= 0.46 and d1 < 0.06) or (0.44 <= u <= 0.74 and d2 < 0.06):
            return mark + (255,)
        return body + (255,)
    return (0, 0, 0, 0)


def image(n, body, mark):
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(n)):  # bottom-up rows
        row = b""
        for x in range(n):
            r, g, b, a = pixel(x, y, n, body, mark)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_row = b"\0" * (((n + 31) // 32) * 4)
    return header + b"".join(rows) + mask_row * n


def main():
    body, mark = COLOURS[sys.argv[1]]
    images = [image(n, body, mark) for n in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[2], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
