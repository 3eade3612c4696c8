#!/usr/bin/env python3
"""Draws the 16x16 pictures of the tree and the table into PNG files beside this script.

Each picture is a list of shapes painted in order over a transparent square; every pixel is
sampled 8x8 times, so edges are smoothed the way small toolbar pictures are. Only the standard
library is used, so the pictures can be drawn again on any machine: python3 draw_icons.py
"""
import math
import os
import struct
import zlib

SIZE = 16
SAMPLES = 8


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            x1, y1 = points[i]
            x2, y2 = points[(i + 1) % n]
            if (y1 > y) != (y2 > y):
                if x < (x2 - x1) * (y - y1) / (y2 - y1) + x1:
                    hit = not hit
        return hit
    return inside


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def stroke(points, width):
    """A polyline of the given width with round joins."""
    half = width / 2.0

    def near(x, y):
        for (x1, y1), (x2, y2) in zip(points, points[1:]):
            dx, dy = x2 - x1, y2 - y1
            length2 = dx * dx + dy * dy
            t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / length2))
            px, py = x1 + t * dx, y1 + t * dy
            if (x - px) ** 2 + (y - py) ** 2 <= half * half:
                return True
        return False
    return near


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def gap(shape, angle_from, angle_to, cx, cy):
    """The shape without the sector between two angles (degrees, 0 = up, clockwise)."""
    def test(x, y):
        if not shape(x, y):
            return False
        angle = math.degrees(math.atan2(x - cx, cy - y)) % 360
        return not (angle_from <= angle or angle <= angle_to) if angle_from > angle_to else not (angle_from <= angle <= angle_to)
    return test


def render(layers):
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r = g = b = a = 0.0
            for shape, colour in layers:
                hits = 0
                for sy in range(SAMPLES):
                    for sx in range(SAMPLES):
                        if shape(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES):
                            hits += 1
                if hits == 0:
                    continue
                cover = hits / (SAMPLES * SAMPLES) * (colour[3] / 255.0 if len(colour) > 3 else 1.0)
                # "over" compositing in premultiplied terms
                r = colour[0] * cover + r * (1 - cover)
                g = colour[1] * cover + g * (1 - cover)
                b = colour[2] * cover + b * (1 - cover)
                a = cover + a * (1 - cover)
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def write_png(path, pixels):
    raw = b"".join(b"\x00" + b"".join(struct.pack("BBBB", *p) for p in row) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
                  chunk(b"IEND", b""))


OUTLINE_BLUE = (52, 101, 164)
PALE_BLUE = (170, 205, 240)
LIGHT = (232, 243, 252)
DIAMOND = [(8, 1.2), (14.8, 8), (8, 14.8), (1.2, 8)]
DIAMOND_IN = [(8, 2.6), (13.4, 8), (8, 13.4), (2.6, 8)]
DIAMOND_SHINE = [(8, 3.4), (11, 6.4), (8, 9.4), (5, 6.4)]

FOLDER_DARK = (176, 128, 20)
FOLDER = (244, 200, 66)
FOLDER_LIGHT = (252, 226, 130)

diamond = [
    (polygon(DIAMOND), OUTLINE_BLUE),
    (polygon(DIAMOND_IN), PALE_BLUE),
    (polygon(DIAMOND_SHINE), LIGHT + (150,)),
]

pictures = {
    "0-server": diamond,
    "1-server-connected": diamond + [
        (stroke([(5.2, 9.6), (8.2, 12.8), (15, 4.2)], 3.4), (255, 255, 255)),
        (stroke([(5.2, 9.6), (8.2, 12.8), (15, 4.2)], 2.0), (214, 30, 30)),
    ],
    "2-branch": [
        (polygon([(1, 3.5), (6, 3.5), (7.5, 5), (15, 5), (15, 14), (1, 14)]), FOLDER_DARK),
        (polygon([(2, 4.5), (5.6, 4.5), (7.1, 6), (14, 6), (14, 13), (2, 13)]), FOLDER),
        (rect(2, 6, 14, 7.2), FOLDER_LIGHT),
    ],
    "3-branch-open": [
        (polygon([(1, 3.5), (6, 3.5), (7.5, 5), (13, 5), (13, 14), (1, 14)]), FOLDER_DARK),
        (polygon([(2, 4.5), (5.6, 4.5), (7.1, 6), (12, 6), (12, 8), (2, 8)]), FOLDER),
        (polygon([(3.6, 7.5), (16, 7.5), (13, 14), (1, 14)]), FOLDER_DARK),
        (polygon([(4.3, 8.5), (14.6, 8.5), (12.3, 13), (2.4, 13)]), FOLDER_LIGHT),
    ],
    "4-item": [
        (disc(8, 8, 7.3), (30, 86, 170)),
        (disc(8, 8, 6.1), (66, 133, 224)),
        (gap(ring(8, 8.6, 4.4, 2.9), 325, 35, 8, 8.6), (255, 255, 255)),
        (stroke([(8, 2.8), (8, 8.2)], 1.6), (255, 255, 255)),
    ],
    "5-host": [
        (rect(1.5, 1.5, 14.5, 11), (70, 70, 78)),
        (rect(2.7, 2.7, 13.3, 9.8), (96, 160, 222)),
        (polygon([(2.7, 2.7), (9, 2.7), (2.7, 7.5)]), (150, 196, 240)),
        (rect(6.5, 11, 9.5, 13), (110, 110, 118)),
        (rect(3.5, 13, 12.5, 14.8), (70, 70, 78)),
    ],
    "6-warning": [
        (polygon([(8, 1), (15.3, 14.6), (0.7, 14.6)]), (150, 110, 0)),
        (polygon([(8, 2.9), (14, 13.6), (2, 13.6)]), (250, 204, 40)),
        (polygon([(7.1, 5.8), (8.9, 5.8), (8.5, 10.2), (7.5, 10.2)]), (30, 30, 30)),
        (disc(8, 11.9, 0.95), (30, 30, 30)),
    ],
    "7-error": [
        (disc(8, 8, 7.3), (150, 16, 16)),
        (disc(8, 8, 6.2), (222, 40, 40)),
        (stroke([(5.2, 5.2), (10.8, 10.8)], 2.0), (255, 255, 255)),
        (stroke([(10.8, 5.2), (5.2, 10.8)], 2.0), (255, 255, 255)),
    ],
}

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, layers in pictures.items():
        write_png(os.path.join(here, name + ".png"), render(layers))
