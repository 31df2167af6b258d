#!/usr/bin/env python3
"""Draws Tervane's program icon and its drag cursor and writes them as Windows .ico and .cur
files (standard library only).

The icon is a blue shield, the watchdog, guarding a small server rack of two units with green
status lights. Every size is drawn from the same shapes with 4x4 supersampling, so the edges
are smooth, and each image is stored as a 32-bit BGRA bitmap with its AND mask.

The cursor is the "move" cursor of a list-row drag: the arrow with a small row card below it.

    python3 tools/icon/make_icon.py            writes src/ui/win32/tervane.ico and drag.cur
    python3 tools/icon/make_icon.py OUT_DIR    writes them into OUT_DIR
"""
import math
import os
import struct
import sys

SUB = 4  # supersampling per axis


def lerp(a, b, t):
    return a + (b - a) * t


def bezier(p0, p1, p2, p3, steps=24):
    pts = []
    for i in range(1, steps + 1):
        t = i / steps
        u = 1 - t
        x = u**3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t**3 * p3[0]
        y = u**3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t**3 * p3[1]
        pts.append((x, y))
    return pts


def shield_polygon(inset=0.0):
    """The shield outline in unit coordinates (0..1, y down), shrunk by `inset`."""
    top, left, right, waist, tip = 0.06, 0.10, 0.90, 0.50, 0.97
    left += inset
    right -= inset
    top += inset
    tip -= inset * 1.6
    mid = 0.5
    pts = [(left, top + 0.08)]
    # the top edge rises to two shoulders and dips a little in the middle
    pts += bezier((left, top + 0.08), (0.25, top + 0.06), (0.38, top), (mid, top + 0.03), 12)
    pts += bezier((mid, top + 0.03), (0.62, top), (0.75, top + 0.06), (right, top + 0.08), 12)
    pts.append((right, waist))
    pts += bezier((right, waist), (right, 0.72), (0.70, 0.86), (mid, tip), 20)
    pts += bezier((mid, tip), (0.30, 0.86), (left, 0.72), (left, waist), 20)
    return pts


def inside_polygon(x, y, poly):
    inside = False
    n = len(poly)
    j = n - 1
    for i in range(n):
        xi, yi = poly[i]
        xj, yj = poly[j]
        if (yi > y) != (yj > y):
            xc = xi + (y - yi) * (xj - xi) / (yj - yi)
            if x < xc:
                inside = not inside
        j = i
    return inside


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def blend(dst, src):
    """Source-over of two premultiplied-free RGBA tuples with float components 0..1."""
    sr, sg, sb, sa = src
    dr, dg, db, da = dst
    oa = sa + da * (1 - sa)
    if oa <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    return ((sr * sa + dr * da * (1 - sa)) / oa,
            (sg * sa + dg * da * (1 - sa)) / oa,
            (sb * sa + db * da * (1 - sa)) / oa,
            oa)


def rgb(hexcode):
    return tuple(int(hexcode[i:i + 2], 16) / 255 for i in (1, 3, 5))


def icon_sample(x, y, size):
    """The colour of one subsample of the icon at unit coordinates, or None outside."""
    outer = shield_polygon(0.0)
    if not inside_polygon(x, y, outer):
        return None
    border = 0.055 if size >= 32 else 0.075
    inner = shield_polygon(border)
    if not inside_polygon(x, y, inner):
        return rgb("#0F2C57") + (1.0,)
    # the shield's face: a vertical gradient with a lighter left half
    t = min(max((y - 0.08) / 0.85, 0.0), 1.0)
    top, bottom = rgb("#3C8DDE"), rgb("#16427F")
    c = tuple(lerp(top[i], bottom[i], t) for i in range(3))
    if x < 0.5:
        c = tuple(min(1.0, v * 1.10 + 0.03) for v in c)
    colour = c + (1.0,)
    # two server units
    units = [(0.27, 0.28, 0.73, 0.45), (0.27, 0.51, 0.73, 0.68)]
    for (x0, y0, x1, y1) in units:
        if inside_round_rect(x, y, x0, y0, x1, y1, 0.035):
            edge = 0.022 if size >= 32 else 0.035
            if not inside_round_rect(x, y, x0 + edge, y0 + edge, x1 - edge, y1 - edge, 0.02):
                return rgb("#0B1E3A") + (1.0,)
            body = rgb("#E9EEF3") + (1.0,)
            # a status light at the right and drive slots at the left
            cy = (y0 + y1) / 2
            if inside_circle(x, y, x1 - 0.085, cy, 0.038 if size >= 32 else 0.05):
                return rgb("#25C45A") + (1.0,)
            if size >= 32:
                for k in range(3):
                    sx = x0 + 0.06 + k * 0.07
                    if sx <= x <= sx + 0.035 and cy - 0.045 <= y <= cy + 0.045:
                        return rgb("#7A8796") + (1.0,)
            else:
                if x0 + 0.06 <= x <= x0 + 0.26 and cy - 0.03 <= y <= cy + 0.03:
                    return rgb("#7A8796") + (1.0,)
            return body
    # a stand under the rack
    if size >= 32 and 0.46 <= x <= 0.54 and 0.68 <= y <= 0.76:
        return rgb("#0B1E3A") + (1.0,)
    if size >= 32 and 0.36 <= x <= 0.64 and 0.76 <= y <= 0.80:
        return rgb("#0B1E3A") + (1.0,)
    return colour


def render(size, sample):
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SUB):
                for sx in range(SUB):
                    x = (px + (sx + 0.5) / SUB) / size
                    y = (py + (sy + 0.5) / SUB) / size
                    c = sample(x, y, size)
                    if c is not None:
                        acc[0] += c[0] * c[3]
                        acc[1] += c[1] * c[3]
                        acc[2] += c[2] * c[3]
                        acc[3] += c[3]
            n = SUB * SUB
            a = acc[3] / n
            if a > 0:
                r, g, b = acc[0] / acc[3], acc[1] / acc[3], acc[2] / acc[3]
            else:
                r = g = b = 0.0
            row.append(tuple(int(round(v * 255)) for v in (r, g, b, a)))
        pixels.append(row)
    return pixels


def dib(pixels):
    """A 32-bit BITMAPINFOHEADER image with its AND mask, as stored in .ico and .cur files."""
    h = len(pixels)
    w = len(pixels[0])
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for (r, g, b, a) in row:
            xor += bytes((b, g, r, a))
    stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def write_group(path, kind, images):
    """kind 1: icon, 2: cursor; images: (size, pixels, hotspot)."""
    data = [dib(p) for (_, p, _) in images]
    out = bytearray(struct.pack("<HHH", 0, kind, len(images)))
    offset = 6 + 16 * len(images)
    for (size, _, hot), blob in zip(images, data):
        if kind == 1:
            planes, bits = 1, 32
        else:
            planes, bits = hot
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, planes, bits, len(blob), offset)
        offset += len(blob)
    for blob in data:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


# The drag cursor, pixel by pixel: "#" black, "." white, blank transparent.
CURSOR_ART = [
    "#",
    "##",
    "#.#",
    "#..#",
    "#...#",
    "#....#",
    "#.....#",
    "#......#",
    "#.......#",
    "#........#",
    "#.....#####",
    "#..#..#",
    "#.# #..#",
    "##  #..#",
    "#    #..#",
    "     #..#",
    "      ##",
    "",
    "",
    "         ###############",
    "         #.............#",
    "         #.............#",
    "         #..#########..#",
    "         #.............#",
    "         #.............#",
    "         ###############",
]


def cursor_pixels():
    pixels = []
    for y in range(32):
        line = CURSOR_ART[y] if y < len(CURSOR_ART) else ""
        row = []
        for x in range(32):
            ch = line[x] if x < len(line) else " "
            if ch == "#":
                row.append((0, 0, 0, 255))
            elif ch == ".":
                row.append((255, 255, 255, 255))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "src", "ui", "win32")
    icons = [(s, render(s, icon_sample), None) for s in (48, 32, 16)]
    write_group(os.path.join(out_dir, "tervane.ico"), 1, icons)
    write_group(os.path.join(out_dir, "drag.cur"), 2, [(32, cursor_pixels(), (0, 0))])


if __name__ == "__main__":
    main()
