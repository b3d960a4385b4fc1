#!/usr/bin/env python3
"""Draws the launcher's skin art: the 800x600 background and the four-frame button sprites.

The images are committed; run this again after changing it:
    python3 resources/skin/make_skin.py resources/skin
Only the standard library is used, so the art can be redrawn on any machine.
"""
import math
import os
import struct
import sys
import zlib

# A 5x7 font with the letters the art needs.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    " ": ["00000"] * 7,
}


class Canvas:
    def __init__(self, width, height, colour):
        self.w, self.h = width, height
        self.px = [[list(colour) for _ in range(width)] for _ in range(height)]

    def blend(self, x, y, colour, a):
        if 0 <= x < self.w and 0 <= y < self.h and a > 0:
            p = self.px[y][x]
            for i in range(3):
                p[i] = p[i] * (1 - a) + colour[i] * a

    def vgradient(self, x0, y0, x1, y1, top, bottom):
        for y in range(y0, y1):
            t = (y - y0) / max(1, y1 - y0 - 1)
            c = [top[i] + (bottom[i] - top[i]) * t for i in range(3)]
            for x in range(x0, x1):
                self.px[y][x] = list(c)

    def cover(self, x0, y0, x1, y1, shape):
        """Yields each pixel near the box with the share of its four samples that `shape` holds."""
        for y in range(int(y0) - 1, int(math.ceil(y1)) + 1):
            for x in range(int(x0) - 1, int(math.ceil(x1)) + 1):
                share = sum(0.25 for sy in (0.25, 0.75) for sx in (0.25, 0.75) if shape(x + sx, y + sy))
                if share:
                    yield x, y, share

    def rounded(self, x0, y0, x1, y1, r, colour, alpha=1.0, shade=None):
        """Fills an anti-aliased rounded rectangle; `shade` gives a vertical gradient (top, bottom)."""
        for x, y, share in self.cover(x0, y0, x1, y1, lambda px, py: inside(px, py, x0, y0, x1, y1, r)):
            c = colour
            if shade:
                t = min(1.0, max(0.0, (y - y0) / max(1.0, y1 - y0)))
                c = [shade[0][i] + (shade[1][i] - shade[0][i]) * t for i in range(3)]
            self.blend(x, y, c, share * alpha)

    def outline(self, x0, y0, x1, y1, r, colour, alpha=1.0, width=1.0):
        """The ring between a rounded rectangle and the one `width` inside it."""
        def ring(px, py):
            return inside(px, py, x0, y0, x1, y1, r) and not inside(
                px, py, x0 + width, y0 + width, x1 - width, y1 - width, max(0, r - width))
        for x, y, share in self.cover(x0, y0, x1, y1, ring):
            self.blend(x, y, colour, share * alpha)

    def text(self, x, y, s, scale, colour, alpha=1.0, spacing=1):
        for ch in s:
            glyph = FONT[ch]
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        self.rounded(x + gx * scale, y + gy * scale, x + (gx + 1) * scale, y + (gy + 1) * scale,
                                     scale * 0.3, colour, alpha)
            x += (5 + spacing) * scale

    def copy_from(self, other, ox, oy, w, h):
        for y in range(h):
            for x in range(w):
                self.px[y][x] = list(other.px[oy + y][ox + x])


def inside(px, py, x0, y0, x1, y1, r):
    if not (x0 <= px <= x1 and y0 <= py <= y1):
        return False
    dx = max(x0 + r - px, 0, px - (x1 - r))
    dy = max(y0 + r - py, 0, py - (y1 - r))
    return dx * dx + dy * dy <= r * r


def text_width(s, scale, spacing=1):
    return len(s) * (5 + spacing) * scale - spacing * scale


def write_png(path, canvas, alpha):
    rows = []
    for row in canvas.px:
        line = bytearray([0])
        for p in row:
            c = [max(0, min(255, int(round(v)))) for v in p]
            if c == [0, 255, 0]:
                c[1] = 254  # lime is the window's key colour: never in the art
            line += bytes(c)
            if alpha:
                line.append(255)
        rows.append(bytes(line))
    raw = b"".join(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6 if alpha else 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
                chunk(b"IEND", b""))


BASE = (13, 17, 24)
TITLE_BAND = (20, 26, 38)
STATUS = (17, 22, 32)
ACCENT = (62, 91, 150)
STEEL = (133, 157, 179)


def background():
    c = Canvas(800, 600, BASE)
    c.vgradient(0, 0, 800, 600, (18, 23, 33), (9, 12, 18))
    # Title band, where the minimise and close buttons sit on a flat colour.
    c.vgradient(0, 0, 800, 38, TITLE_BAND, TITLE_BAND)
    for x in range(800):
        c.blend(x, 38, ACCENT, 0.55)
        c.blend(x, 39, ACCENT, 0.2)
    c.rounded(16, 10, 34, 28, 4, (151, 66, 60), shade=((196, 96, 80), (120, 48, 44)))
    c.text(22, 14, "K", 2, (240, 230, 220))
    c.text(44, 13, "KOVA UPDATER", 2, (205, 215, 230))
    # The news frame: the panel sits inside at (12, 42), 775 x 440.
    c.rounded(8, 40, 792, 486, 4, (6, 8, 12))
    c.outline(8, 40, 792, 486, 4, ACCENT, 0.8, 1.2)
    c.vgradient(12, 42, 787, 482, (11, 14, 20), (8, 10, 15))
    c.text((800 - text_width("NEWS", 4)) // 2, 248, "NEWS", 4, (34, 44, 62))
    # The status area: flat, so that the button sprites blend into it.
    c.vgradient(0, 488, 800, 600, STATUS, STATUS)
    c.outline(20, 494, 566, 586, 6, (40, 52, 74), 1.0, 1.0)
    for left, top in ((126, 530), (126, 545)):
        c.rounded(left, top, left + 431, top + 7, 1, (2, 3, 5))
        c.outline(left, top, left + 431, top + 7, 1, (45, 58, 82), 1.0, 1.0)
    return c


def button_frames(width, height, label, scale, face, text_colour, round_radius):
    """Four frames side by side: normal, hover, pressed, disabled."""
    sprite = Canvas(width * 4, height, STATUS if height > 20 else TITLE_BAND)
    for frame in range(4):
        ox = frame * width
        top, bottom = face
        colour = text_colour
        shift = 0
        if frame == 1:  # hover: lighter
            top = [min(255, v * 1.25 + 18) for v in top]
            bottom = [min(255, v * 1.25 + 18) for v in bottom]
        elif frame == 2:  # pressed: darker, the face sunk by a pixel
            top, bottom = [v * 0.7 for v in bottom], [v * 0.7 for v in top]
            shift = 1
        elif frame == 3:  # disabled: grey and dim
            grey = lambda c: [sum(c) / 3 * 0.55 + 20] * 3
            top, bottom = grey(top), grey(bottom)
            colour = (110, 114, 122)
        inset = 1.0
        sprite.rounded(ox + inset, inset + shift, ox + width - inset, height - inset + shift - (1 if shift else 0),
                       round_radius, None, shade=(top, bottom))
        sprite.outline(ox + inset, inset + shift, ox + width - inset, height - inset + shift - (1 if shift else 0),
                       round_radius, [min(255, v * 1.4 + 30) for v in top], 0.6, 1.0)
        if isinstance(label, str):
            tw = text_width(label, scale)
            tx = ox + (width - tw) // 2
            ty = (height - 7 * scale) // 2 + shift
            sprite.text(tx, ty, label, scale, colour)
        else:
            label(sprite, ox, shift, colour)
    return sprite


def minimise_glyph(c, ox, shift, colour):
    c.rounded(ox + 5, 12 + shift, ox + 15, 14 + shift, 1, colour)


def close_glyph(c, ox, shift, colour):
    for i in range(9):
        for d in (0.0, 0.5):
            c.rounded(ox + 5.5 + i + d - 0.8, 5.5 + i + shift - 0.8, ox + 5.5 + i + d + 0.8, 5.5 + i + shift + 0.8,
                      0.8, colour, 0.6)
            c.rounded(ox + 13.5 - i - d - 0.8, 5.5 + i + shift - 0.8, ox + 13.5 - i - d + 0.8, 5.5 + i + shift + 0.8,
                      0.8, colour, 0.6)


def start_face(c, ox, shift, colour):
    # A play triangle above the word.
    for y in range(22, 52):
        half = (y - 22) / 30.0
        reach = 22 * (1 - abs(half - 0.5) * 2)
        c.rounded(ox + 38, y + shift, ox + 38 + reach, y + 1 + shift, 0, colour, 0.95)
    c.text(ox + (95 - text_width("START", 2)) // 2, 60 + shift, "START", 2, colour)


def icon():
    c = Canvas(32, 32, TITLE_BAND)
    c.rounded(1, 1, 31, 31, 6, None, shade=((196, 96, 80), (120, 48, 44)))
    c.text(8, 6, "K", 3, (245, 236, 226))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_png(os.path.join(out, "background.png"), background(), alpha=True)
    write_png(os.path.join(out, "start.png"),
              button_frames(95, 92, start_face, 3, ((214, 120, 64), (150, 62, 40)), (250, 244, 236), 12), False)
    write_png(os.path.join(out, "check.png"),
              button_frames(101, 27, "CHECK", 2, ((58, 86, 140), (36, 54, 92)), (226, 234, 246), 5), False)
    write_png(os.path.join(out, "cancel.png"),
              button_frames(101, 27, "CANCEL", 2, ((70, 74, 86), (44, 47, 56)), (226, 230, 238), 5), False)
    write_png(os.path.join(out, "minimize.png"),
              button_frames(20, 20, minimise_glyph, 1, ((44, 54, 74), (30, 37, 52)), (205, 215, 230), 4), False)
    write_png(os.path.join(out, "close.png"),
              button_frames(20, 20, close_glyph, 1, ((150, 60, 58), (104, 40, 40)), (240, 226, 222), 4), False)
    icon_canvas = icon()
    write_png(os.path.join(out, "icon.png"), icon_canvas, alpha=False)


if __name__ == "__main__":
    main()
