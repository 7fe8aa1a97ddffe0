#!/usr/bin/env python3
"""Draws Brenhold.ico: one 32x32 image, 32 bits per pixel.

A printer with a sheet coming out of it and a green tick: "printed, then dealt with".
Run it again after changing the drawing; the .ico it writes is committed.
"""
import pathlib
import struct

SIZE = 32
CLEAR = (0, 0, 0, 0)
OUTLINE = (40, 44, 52, 255)
BODY = (120, 128, 140, 255)
BODY_LIGHT = (170, 178, 190, 255)
PAPER = (250, 250, 250, 255)
INK = (70, 110, 200, 255)
TICK = (30, 160, 70, 255)
TICK_DARK = (15, 100, 40, 255)
TICK_PATH = [(19, 25), (20, 26), (21, 27), (22, 26), (23, 25), (24, 24), (25, 23), (26, 22), (27, 21)]


def draw():
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                pixels[y][x] = colour

    def frame(x0, y0, x1, y1, fill):
        rect(x0, y0, x1, y1, OUTLINE)
        rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, fill)

    frame(8, 2, 23, 13, PAPER)          # sheet waiting at the top
    frame(2, 10, 29, 22, BODY)          # printer body
    rect(3, 11, 28, 13, BODY_LIGHT)     # top highlight
    rect(23, 15, 25, 16, TICK)          # power lamp
    frame(7, 19, 24, 30, PAPER)         # printed sheet
    for y in (22, 24, 26):
        rect(10, y, 21, y, INK)         # lines of text
    # A tick badge in the lower right corner: a dark rim, then the bright stroke.
    for x, y in TICK_PATH:
        rect(x - 1, y - 1, x + 1, y + 1, TICK_DARK)
    for x, y in TICK_PATH:
        pixels[y][x] = TICK
    return pixels


def ico(pixels):
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_rows = []
    for row in reversed(pixels):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask_rows.append(struct.pack('>I', bits))
    image = header + xor + b''.join(mask_rows)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    target = pathlib.Path(__file__).with_name('Brenhold.ico')
    target.write_bytes(ico(draw()))
    print(f'wrote {target}')
