#!/usr/bin/env python3
"""Draws resources/menubar.png: a 128 px sun, amber with a dark rim, so that it reads on light and
dark panels alike. Run from the repository root: python3 docs/tools/make-icon.py"""
import math
import struct
import zlib

SIZE, SAMPLES = 128, 4
FILL, RIM = (245, 180, 0), (74, 46, 0)
DISC, RIM_WIDTH = 30.0, 8.0
RAYS = [(math.cos(i * math.pi / 4), math.sin(i * math.pi / 4)) for i in range(8)]


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def shape(x, y):
    """Signed distance to the sun's outline: negative inside."""
    c = SIZE / 2
    d = math.hypot(x - c, y - c) - DISC
    for ux, uy in RAYS:
        ray = segment_distance(x, y, c + 44 * ux, c + 44 * uy, c + 54 * ux, c + 54 * uy) - 9.5
        d = min(d, ray)
    return d


def pixel(x, y):
    rim = fill = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            d = shape(x + (sx + 0.5) / SAMPLES, y + (sy + 0.5) / SAMPLES)
            if d <= -RIM_WIDTH:
                fill += 1
            elif d <= 0:
                rim += 1
    covered = rim + fill
    if covered == 0:
        return (0, 0, 0, 0)
    colour = [(FILL[i] * fill + RIM[i] * rim) // covered for i in range(3)]
    return (*colour, 255 * covered // (SAMPLES * SAMPLES))


def png(rows):
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


with open("resources/menubar.png", "wb") as out:
    out.write(png([[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]))
