#!/usr/bin/env python3
"""Makes the default title's pictures and sound (examples/mrv): a shaded ball
(PNG with transparency), a floor tile (24-bit BMP) and a two-note chime (WAV).
Run it again to remake them; the output is the same every time."""
import math
import os
import struct
import zlib

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "mrv")


def png(path, w, h, pixels):
    rows = b"".join(b"\0" + bytes(pixels[y * w * 4:(y + 1) * w * 4]) for y in range(h))

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


def ball(size=48):
    px = []
    r = size / 2 - 1
    for y in range(size):
        for x in range(size):
            dx, dy = x + 0.5 - size / 2, y + 0.5 - size / 2
            d = math.hypot(dx, dy)
            if d > r:
                px += [0, 0, 0, 0]
                continue
            # Light from the upper left: a highlight and a darker rim.
            lx, ly = dx + r * 0.35, dy + r * 0.35
            light = max(0.0, 1 - math.hypot(lx, ly) / (r * 1.3))
            rim = 1 - (d / r) ** 4 * 0.5
            red = min(255, int((90 + 165 * light) * rim))
            green = min(255, int((40 + 200 * light ** 2) * rim))
            blue = min(255, int((160 + 95 * light) * rim))
            px += [red, green, blue, 255]
    return size, size, px


def bmp(path, w, h, rgb):
    row = (w * 3 + 3) & ~3
    data = b""
    for y in range(h - 1, -1, -1):  # bottom row first
        line = b"".join(bytes((b, g, r)) for (r, g, b) in rgb[y * w:(y + 1) * w])
        data += line + b"\0" * (row - len(line))
    head = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(head + info + data)


def tile(n=16):
    rgb = []
    for y in range(n):
        for x in range(n):
            edge = x == 0 or y == 0
            dark = (x // 8 + y // 8) % 2
            base = (16, 24, 64) if dark else (20, 32, 80)
            rgb.append(tuple(c + 24 for c in base) if edge else base)
    return n, n, rgb


def wav(path, rate=22050):
    notes = [(659.25, 0.0), (987.77, 0.12)]  # E5 then B5
    n = int(rate * 0.7)
    samples = []
    for i in range(n):
        t = i / rate
        v = 0.0
        for f, start in notes:
            if t >= start:
                u = t - start
                v += math.sin(2 * math.pi * f * u) * math.exp(-u * 6) * 0.35
        samples.append(int(max(-1, min(1, v)) * 32767))
    data = struct.pack("<%dh" % n, *samples)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


w, h, px = ball()
png(os.path.join(out, "BALL.PNG"), w, h, px)
w, h, rgb = tile()
bmp(os.path.join(out, "TILE.BMP"), w, h, rgb)
wav(os.path.join(out, "CHIME.WAV"))
