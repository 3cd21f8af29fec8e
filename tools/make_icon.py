#!/usr/bin/env python3
"""Draws Kestavo's window icon: radio waves rising from a dongle, on a rounded square.

Usage: make_icon.py OUT.png SIZE
"""
import math
import struct
import sys
import zlib


def inside(x, y):
    """Colour at (x, y) in a unit square, or None for transparent."""
    # rounded square background
    r = 0.18
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return None
    colour = (22, 74, 96)
    # dongle body
    if 0.40 <= x <= 0.60 and 0.62 <= y <= 0.88:
        return (236, 240, 241)
    if 0.45 <= x <= 0.55 and 0.88 < y <= 0.93:
        return (160, 170, 175)
    # antenna
    if 0.485 <= x <= 0.515 and 0.38 <= y < 0.62:
        return (236, 240, 241)
    # three arcs around the antenna tip
    d = math.hypot(x - 0.5, y - 0.38)
    angle = math.degrees(math.atan2(0.38 - y, x - 0.5))
    for radius in (0.10, 0.19, 0.28):
        if abs(d - radius) < 0.025 and (20 < angle < 160):
            return (246, 178, 64)
    return colour


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = inside((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 255
            n = samples * samples
            alpha = acc[3] // n
            if alpha:
                cover = acc[3] / 255
                row += bytes([int(acc[0] / cover), int(acc[1] / cover), int(acc[2] / cover), alpha])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    out, size = sys.argv[1], int(sys.argv[2])
    with open(out, "wb") as f:
        f.write(png(size, render(size)))
