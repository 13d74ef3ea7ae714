#!/usr/bin/env python3
"""Draws the ten guide pictures (87 x 68 BMP files) and the program icon.

Standard library only. Run from anywhere; writes into src/win32app/pictures.
The pictures are deliberately plain line drawings: a switch, a PC and the
readout, the readout's display and keypad, a finger where one is pressed.
"""
import os
import struct

W, H = 87, 68
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "win32app", "pictures")

# The 16 colours of the 4-bit pictures (the classic VGA set).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGREY, GREY, WHITE = (0, 0, 0), (128, 128, 128), (192, 192, 192), (255, 255, 255)
RED, GREEN, DGREEN, BLUE, NAVY = (255, 0, 0), (0, 255, 0), (0, 128, 0), (0, 0, 255), (0, 0, 128)
YELLOW, OLIVE, TEAL = (255, 255, 0), (128, 128, 0), (0, 128, 128)
SKIN, SKIN_DARK = (240, 200, 160), (200, 150, 110)

# A 3 x 5 font, rows top to bottom, '#' set.
FONT = {
    "A": ["###", "#.#", "###", "#.#", "#.#"], "B": ["##.", "#.#", "##.", "#.#", "##."],
    "C": ["###", "#..", "#..", "#..", "###"], "D": ["##.", "#.#", "#.#", "#.#", "##."],
    "E": ["###", "#..", "##.", "#..", "###"], "F": ["###", "#..", "##.", "#..", "#.."],
    "G": ["###", "#..", "#.#", "#.#", "###"], "H": ["#.#", "#.#", "###", "#.#", "#.#"],
    "I": ["###", ".#.", ".#.", ".#.", "###"], "L": ["#..", "#..", "#..", "#..", "###"],
    "M": ["#.#", "###", "###", "#.#", "#.#"], "N": ["##.", "#.#", "#.#", "#.#", "#.#"],
    "O": ["###", "#.#", "#.#", "#.#", "###"], "P": ["###", "#.#", "###", "#..", "#.."],
    "R": ["##.", "#.#", "##.", "#.#", "#.#"], "S": ["###", "#..", "###", "..#", "###"],
    "T": ["###", ".#.", ".#.", ".#.", ".#."], "U": ["#.#", "#.#", "#.#", "#.#", "###"],
    "V": ["#.#", "#.#", "#.#", "#.#", ".#."], "W": ["#.#", "#.#", "###", "###", "#.#"],
    "Y": ["#.#", "#.#", ".#.", ".#.", ".#."], "Q": ["###", "#.#", "#.#", "###", "..#"],
    "0": ["###", "#.#", "#.#", "#.#", "###"], "1": [".#.", "##.", ".#.", ".#.", "###"],
    "2": ["###", "..#", "###", "#..", "###"], "3": ["###", "..#", "###", "..#", "###"],
    "4": ["#.#", "#.#", "###", "..#", "..#"], "5": ["###", "#..", "###", "..#", "###"],
    "6": ["###", "#..", "###", "#.#", "###"], "7": ["###", "..#", "..#", "..#", "..#"],
    "8": ["###", "#.#", "###", "#.#", "###"], "9": ["###", "#.#", "###", "..#", "###"],
    ".": ["...", "...", "...", "...", ".#."], "-": ["...", "...", "###", "...", "..."],
    "*": ["#.#", ".#.", "#.#", "...", "..."], "#": ["#.#", "###", "#.#", "###", "#.#"],
    " ": ["...", "...", "...", "...", "..."],
}


class Canvas:
    def __init__(self, background=WHITE):
        self.px = [[background] * W for _ in range(H)]

    def set(self, x, y, c):
        if 0 <= x < W and 0 <= y < H:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c, fill=None):
        if fill is not None:
            for y in range(y0, y1 + 1):
                for x in range(x0, x1 + 1):
                    self.set(x, y, fill)
        for x in range(x0, x1 + 1):
            self.set(x, y0, c)
            self.set(x, y1, c)
        for y in range(y0, y1 + 1):
            self.set(x0, y, c)
            self.set(x1, y, c)

    def line(self, x0, y0, x1, y1, c, width=1):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(steps + 1):
            x = round(x0 + (x1 - x0) * i / steps)
            y = round(y0 + (y1 - y0) * i / steps)
            for dx in range(width):
                for dy in range(width):
                    self.set(x + dx - width // 2, y + dy - width // 2, c)

    def ellipse(self, cx, cy, rx, ry, c, fill=None):
        for y in range(cy - ry, cy + ry + 1):
            for x in range(cx - rx, cx + rx + 1):
                d = ((x - cx) / max(rx, 0.5)) ** 2 + ((y - cy) / max(ry, 0.5)) ** 2
                if fill is not None and d <= 1.0:
                    self.set(x, y, fill)
                if 0.7 <= d <= 1.15:
                    self.set(x, y, c)

    def polygon(self, points, c, fill=None):
        if fill is not None:
            ys = [p[1] for p in points]
            for y in range(min(ys), max(ys) + 1):
                xs = []
                for i in range(len(points)):
                    (xa, ya), (xb, yb) = points[i], points[(i + 1) % len(points)]
                    if (ya <= y < yb) or (yb <= y < ya):
                        xs.append(xa + (y - ya) * (xb - xa) / (yb - ya))
                xs.sort()
                for a, b in zip(xs[::2], xs[1::2]):
                    for x in range(round(a), round(b) + 1):
                        self.set(x, y, fill)
        for i in range(len(points)):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % len(points)]
            self.line(xa, ya, xb, yb, c)

    def text(self, x, y, s, c, scale=1):
        for ch in s.upper():
            glyph = FONT.get(ch, FONT[" "])
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "#":
                        for sx in range(scale):
                            for sy in range(scale):
                                self.set(x + gx * scale + sx, y + gy * scale + sy, c)
            x += 4 * scale


def finger(cv, tipx, tipy, from_below=True):
    """A pointing finger whose tip touches (tipx, tipy), coming from below right."""
    if from_below:
        cv.polygon([(tipx - 4, tipy + 3), (tipx + 4, tipy + 3), (tipx + 14, H - 1), (tipx + 2, H - 1)],
                   SKIN_DARK, SKIN)
        cv.ellipse(tipx, tipy + 3, 4, 3, SKIN_DARK, SKIN)
        cv.ellipse(tipx + 1, tipy + 3, 2, 1, WHITE)  # the nail


def switch(cv, on):
    cv.rect(18, 10, 68, 56, BLACK, GREY)
    cv.rect(24, 16, 62, 50, BLACK, DGREY)
    # The rocker: the pressed side sits low, the other side stands out.
    if on:
        cv.polygon([(26, 18), (43, 22), (43, 48), (26, 44)], BLACK, WHITE)
        cv.polygon([(43, 22), (60, 26), (60, 44), (43, 48)], BLACK, GREY)
        cv.rect(33, 27, 35, 39, BLACK, BLACK)  # the bar of the on side
        finger(cv, 34, 33)
    else:
        cv.polygon([(26, 26), (43, 22), (43, 48), (26, 44)], BLACK, GREY)
        cv.polygon([(43, 22), (60, 18), (60, 48), (43, 48)], BLACK, WHITE)
        cv.ellipse(51, 33, 4, 5, BLACK)  # the ring of the off side
        finger(cv, 51, 34)


def pc(cv, x=2, y=14):
    cv.rect(x, y, x + 26, y + 20, BLACK, GREY)          # monitor
    cv.rect(x + 3, y + 3, x + 23, y + 16, BLACK, TEAL)
    cv.rect(x + 10, y + 21, x + 16, y + 24, BLACK, GREY)
    cv.rect(x + 4, y + 25, x + 22, y + 27, BLACK, GREY)
    cv.rect(x + 2, y + 30, x + 24, y + 50, BLACK, GREY)  # tower under it
    cv.rect(x + 5, y + 33, x + 21, y + 35, BLACK, DGREY)
    cv.set(x + 20, y + 45, GREEN)


def readout(cv, x=58, y=12):
    cv.rect(x, y, x + 26, y + 48, BLACK, (255, 255, 0) if False else GREY)
    cv.rect(x + 3, y + 3, x + 23, y + 17, BLACK, OLIVE)
    for row in range(4):
        for col in range(3):
            cv.rect(x + 4 + col * 7, y + 22 + row * 6, x + 8 + col * 7, y + 25 + row * 6, BLACK, WHITE)


def display(cv, lines, message=None):
    cv.rect(4, 4, 82, 50, BLACK, GREY)
    cv.rect(8, 8, 78, 44, BLACK, (0, 128, 0))
    for i, text in enumerate(lines):
        cv.text(11, 11 + i * 7, text, (0, 255, 0))
    if message:
        cv.rect(9, 37, 77, 43, (0, 255, 0), (0, 255, 0))
        cv.text(11, 38, message, BLACK)
    for col in range(4):
        cv.rect(10 + col * 18, 54, 22 + col * 18, 60, BLACK, WHITE)


def keypad(cv, pressed):
    cv.rect(0, 0, W - 1, H - 1, (60, 60, 70), (90, 90, 100))
    labels = ["1", "2", "3", "C", "4", "5", "6", "*", "7", "8", "9", "0"]
    where = None
    for i, label in enumerate(labels):
        col, row = i % 4, i // 4
        x0, y0 = 6 + col * 20, 6 + row * 20
        face = (250, 250, 240) if label != "C" else (220, 60, 50)
        cv.rect(x0, y0, x0 + 15, y0 + 15, (30, 30, 30), face)
        cv.rect(x0 + 1, y0 + 13, x0 + 14, y0 + 14, (160, 160, 160), (160, 160, 160))
        cv.text(x0 + 5, y0 + 3, label, (20, 20, 20) if label != "C" else WHITE, 1)
        if label == pressed:
            where = (x0 + 7, y0 + 9)
    tipx, tipy = where
    cv.polygon([(tipx - 6, tipy + 2), (tipx + 6, tipy + 2), (tipx + 18, H - 1), (tipx + 2, H - 1)],
               (170, 120, 80), (235, 190, 150))
    cv.ellipse(tipx, tipy + 2, 6, 4, (170, 120, 80), (235, 190, 150))
    cv.ellipse(tipx + 1, tipy + 1, 3, 2, (250, 225, 210), (250, 225, 210))


def cable(cv, colour, arrow):
    pc(cv)
    readout(cv)
    cv.line(26, 54, 40, 62, colour, 2)
    cv.line(40, 62, 52, 62, colour, 2)
    cv.line(52, 62, 70, 60, colour, 2)
    cv.text(36, 55, "USB", BLACK)
    if arrow:
        cv.polygon([(30, 22), (46, 22), (46, 16), (56, 27), (46, 38), (46, 32), (30, 32)], NAVY, BLUE)


def picture(number):
    cv = Canvas()
    if number == 120:
        switch(cv, on=False)
    elif number == 121:
        switch(cv, on=True)
    elif number == 122:
        cable(cv, BLACK, arrow=False)
    elif number == 123:
        keypad(cv, "C")
    elif number == 124:
        display(cv, ["MENU", "1 SOFTWARE", "2 BOOTLOADER", "V1.0.0"])
    elif number == 138:
        display(cv, ["MENU", "1 SOFTWARE", "2 BOOTLOADER"], message="LOADING...")
    elif number == 139:
        keypad(cv, "1")
    elif number == 140:
        cable(cv, DGREEN, arrow=True)
    elif number == 142:
        # No particular count: the readout shows the real one.
        display(cv, ["DONE", "BYTES", "(- - -)"])
        finger(cv, 34, 58)
    elif number == 143:
        keypad(cv, "2")
    return cv


def nearest(c):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(PALETTE[i], c)))


def bmp(cv, bits):
    if bits == 4:
        stride = ((W * 4 + 31) // 32) * 4
        rows = []
        for y in range(H - 1, -1, -1):
            idx = [nearest(c) for c in cv.px[y]] + [0]
            row = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, W, 2))
            rows.append(row + b"\0" * (stride - len(row)))
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
        colours = 16
    else:
        stride = ((W * 24 + 31) // 32) * 4
        rows = []
        for y in range(H - 1, -1, -1):
            row = b"".join(struct.pack("<BBB", b, g, r) for r, g, b in cv.px[y])
            rows.append(row + b"\0" * (stride - len(row)))
        palette = b""
        colours = 0
    pixels = b"".join(rows)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, bits, 0, len(pixels), 2835, 2835, colours, 0)
    return header + info + palette + pixels


def icon_image(size):
    """The readout as the guide draws it (grey case, olive display, white
    keys, black outlines) as a size x size icon image (32 or 16)."""
    cv = Canvas(None)
    if size == 32:
        cv.rect(5, 1, 26, 30, BLACK, GREY)
        cv.rect(8, 4, 23, 13, BLACK, OLIVE)
        cv.line(10, 8, 20, 8, GREEN)
        for row in range(3):
            for col in range(3):
                cv.rect(8 + col * 6, 16 + row * 5, 11 + col * 6, 18 + row * 5, BLACK, WHITE)
    else:  # too small for outlined keys: white dots
        cv.rect(2, 0, 13, 15, BLACK, GREY)
        cv.rect(4, 2, 11, 6, BLACK, OLIVE)
        cv.line(5, 4, 9, 4, GREEN)
        for row in range(3):
            for col in range(3):
                cv.rect(4 + col * 3, 9 + row * 2, 5 + col * 3, 9 + row * 2, WHITE, WHITE)
    xor = b""
    for y in range(size - 1, -1, -1):
        for x in range(size):
            c = cv.px[y][x]
            xor += struct.pack("<BBBB", c[2], c[1], c[0], 255) if c else b"\0\0\0\0"
    stride = ((size + 31) // 32) * 4
    mask = b""
    for y in range(size - 1, -1, -1):
        bits = 0
        for x in range(size):
            if cv.px[y][x] is None:
                bits |= 1 << (stride * 8 - 1 - x)
        mask += bits.to_bytes(stride, "big")
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + mask


def icon():
    images = [icon_image(size) for size in (32, 16)]
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip((32, 16), images):
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return head + entries + b"".join(images)


def main():
    os.makedirs(OUT, exist_ok=True)
    depth = {123: 24, 139: 24, 143: 24}
    for number in (120, 121, 122, 123, 124, 138, 139, 140, 142, 143):
        with open(os.path.join(OUT, "picture%d.bmp" % number), "wb") as f:
            f.write(bmp(picture(number), depth.get(number, 4)))
    with open(os.path.join(OUT, "quillon.ico"), "wb") as f:
        f.write(icon())


if __name__ == "__main__":
    main()
