#!/usr/bin/python3
"""Draws the plug-in's pictures and writes them in the Windows formats that
the resource script takes: the About picture (about.bmp: 100 x 140 pixels,
256 colours), the link cursor (hand.cur: 32 x 32 monochrome pointing hand,
hot spot at the fingertip) and the icon (matwcx.ico: 32 x 32 and 16 x 16).

Run from anywhere: /usr/bin/python3 about/make_resources.py
The files are written beside this script and are committed with it.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# A 5 x 7 pixel font, for the few letters and digits the pictures use.
GLYPHS = {
    'M': ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'W': ["10001", "10001", "10001", "10101", "10101", "11011", "10001"],
    'C': ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    'X': ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
    '0': ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    '1': ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    '2': ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
    '3': ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    '4': ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    '5': ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    '7': ["11111", "00001", "00010", "00100", "01000", "01000", "01000"],
    '8': ["01110", "10001", "10001", "01110", "10001", "10001", "01110"],
    '9': ["01110", "10001", "10001", "01111", "00001", "00010", "01100"],
    '.': ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    '-': ["00000", "00000", "00000", "01110", "00000", "00000", "00000"],
}


class Canvas:
    """Pixels as palette indices, row 0 at the top."""

    def __init__(self, width, height, fill=0):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        """Filled, inclusive corners."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def text(self, x, y, words, colour, scale=1):
        for ch in words:
            glyph = GLYPHS.get(ch)
            if glyph is None:
                x += 3 * scale
                continue
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == '1':
                        self.rect(x + gx * scale, y + gy * scale,
                                  x + gx * scale + scale - 1, y + gy * scale + scale - 1, colour)
            x += 6 * scale


# ---------------------------------------------------------------- about.bmp

def about_palette():
    """256 entries: a few named colours, then a blue ramp for the background."""
    named = [
        (0x10, 0x18, 0x30),   # 0 background (deep blue)
        (0xFF, 0xFF, 0xFF),   # 1 white
        (0xF0, 0xA0, 0x20),   # 2 amber: the brackets
        (0x40, 0x80, 0xC0),   # 3 grid lines
        (0x30, 0xC0, 0x60),   # 4 green cell
        (0xE0, 0x40, 0x40),   # 5 red cell
        (0x80, 0x60, 0xE0),   # 6 violet cell
        (0xA0, 0xC8, 0xF0),   # 7 pale blue text
        (0x00, 0x00, 0x00),   # 8 black
    ]
    ramp = [(0x10 + i // 8, 0x18 + i // 6, 0x30 + i // 3) for i in range(256 - len(named))]
    return named + ramp


def draw_about():
    c = Canvas(100, 140)
    # Background: a vertical ramp, lighter towards the bottom.
    for y in range(140):
        for x in range(100):
            c.put(x, y, 9 + (y * 160) // 140)
    # A 4 x 4 matrix of cells between square brackets.
    left, top, cell, gap = 22, 22, 12, 3
    span = 4 * cell + 3 * gap
    for row in range(4):
        for col in range(4):
            x = left + col * (cell + gap)
            y = top + row * (cell + gap)
            colour = [4, 5, 6, 7][(row * 3 + col) % 4] if (row + col) % 3 else 3
            c.rect(x, y, x + cell - 1, y + cell - 1, colour)
            c.rect(x + 3, y + 3, x + cell - 4, y + cell - 4, 1 if colour != 3 else 0)
    # The brackets, 3 pixels thick.
    bl, br = left - 9, left + span + 6
    bt, bb = top - 6, top + span + 5
    c.rect(bl, bt, bl + 2, bb, 2)
    c.rect(bl, bt, bl + 7, bt + 2, 2)
    c.rect(bl, bb - 2, bl + 7, bb, 2)
    c.rect(br, bt, br + 2, bb, 2)
    c.rect(br - 5, bt, br + 2, bt + 2, 2)
    c.rect(br - 5, bb - 2, br + 2, bb, 2)
    # "MAT" large, "WCX" below it.
    c.text(50 - (3 * 12 - 2) // 2 - 1, 96, "MAT", 1, scale=2)
    c.text(50 - (3 * 6 - 1) // 2, 120, "WCX", 7)
    return c


def write_bmp8(path, canvas, palette):
    """A 256-colour BMP: file header, BITMAPINFOHEADER, palette, rows bottom-up."""
    w, h = canvas.width, canvas.height
    stride = (w + 3) & ~3
    pixel_bytes = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytes(canvas.pixels[y]) + b"\0" * (stride - w)
        pixel_bytes += row
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(colours)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixel_bytes), 2835, 2835, 256, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixel_bytes), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + colours + pixel_bytes)


# ---------------------------------------------------------------- hand.cur

# "#" black outline, "o" white inside, "." transparent. The index finger
# points up; its tip is at column 4, row 0: the hot spot.
HAND = [
    "...##...........................",
    "..#oo#..........................",
    "..#oo#..........................",
    "..#oo#..........................",
    "..#oo#..........................",
    "..#oo###........................",
    "..#oo#oo###.....................",
    "..#oo#oo#oo##...................",
    "..#oo#oo#oo#o#..................",
    "###oo#oo#oo#oo#.................",
    "#oo#oooooooo#o#.................",
    "#ooooooooooooo#.................",
    ".#oooooooooooo#.................",
    "..#ooooooooooo#.................",
    "..#oooooooooo#..................",
    "...#ooooooooo#..................",
    "...#oooooooo#...................",
    "....#ooooooo#...................",
    "....#ooooooo#...................",
    "....#########...................",
] + ["." * 32] * 12


def mono_rows(bits_of_row):
    """32-pixel rows of 1-bit pixels, bottom-up, each 4 bytes."""
    out = bytearray()
    for row in reversed(bits_of_row):
        value = 0
        for bit in row:
            value = (value << 1) | bit
        out += struct.pack(">I", value)
    return out


def write_cur(path, art, hot_x, hot_y):
    assert len(art) == 32 and all(len(r) == 32 for r in art)
    # XOR 1 + AND 0 = white; XOR 0 + AND 0 = black; XOR 0 + AND 1 = transparent.
    xor = mono_rows([[1 if ch == "o" else 0 for ch in row] for row in art])
    and_mask = mono_rows([[1 if ch == "." else 0 for ch in row] for row in art])
    palette = struct.pack("<BBBB", 0, 0, 0, 0) + struct.pack("<BBBB", 255, 255, 255, 0)
    info = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 1, 0, len(xor) + len(and_mask), 0, 0, 2, 0)
    image = info + palette + xor + and_mask
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 2, 0, hot_x, hot_y, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


# ---------------------------------------------------------------- matwcx.ico

def icon_image(size):
    """32-bit BGRA pixels, rows top-down: an amber-bracketed 2 x 2 matrix."""
    blue, amber, white, cell = (0x30, 0x18, 0x10, 255), (0x20, 0xA0, 0xF0, 255), (255, 255, 255, 255), (0x60, 0xC0, 0x30, 255)
    clear = (0, 0, 0, 0)
    px = [[clear] * size for _ in range(size)]
    s = size / 32.0

    def fill(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), int(y1 * s) + 1):
            for x in range(int(x0 * s), int(x1 * s) + 1):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    fill(1, 1, 30, 30, blue)
    fill(4, 4, 6, 27, amber)
    fill(4, 4, 9, 6, amber)
    fill(4, 25, 9, 27, amber)
    fill(25, 4, 27, 27, amber)
    fill(22, 4, 27, 6, amber)
    fill(22, 25, 27, 27, amber)
    fill(10, 10, 14, 14, white)
    fill(17, 10, 21, 14, cell)
    fill(10, 17, 14, 21, cell)
    fill(17, 17, 21, 21, white)
    return px


def write_ico(path, sizes):
    images = []
    for size in sizes:
        px = icon_image(size)
        xor = bytearray()
        for row in reversed(px):
            for (b, g, r, a) in row:
                xor += bytes((b, g, r, a))
        and_stride = ((size + 31) // 32) * 4
        and_mask = bytearray()
        for row in reversed(px):
            bits = 0
            for (_, _, _, a) in row:
                bits = (bits << 1) | (1 if a == 0 else 0)
            bits <<= and_stride * 8 - size
            and_mask += bits.to_bytes(and_stride, "big")
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
        images.append(info + xor + and_mask)
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def main():
    write_bmp8(os.path.join(HERE, "about.bmp"), draw_about(), about_palette())
    write_cur(os.path.join(HERE, "hand.cur"), HAND, 4, 0)
    write_ico(os.path.join(HERE, "matwcx.ico"), [32, 16])


if __name__ == "__main__":
    main()
