#!/usr/bin/env python3
"""Draws the project's icons and writes them as .ico files.

The drawing code below is the source image: each icon is a few shapes given
by signed distance functions over the unit square, rendered with one-pixel
anti-aliasing at every size. Run from anywhere; it writes

    app/icons/installer.ico    the installer executable's icon
    sample/ovikclient.ico      the sample client's icon

Each file holds seven 32-bit RGBA images, 16, 24, 32, 48, 64, 128 and 256
pixels square: the four small ones as BMP with an alpha channel (and the AND
mask every reader expects), the three large ones as PNG. Python standard
library only; the output is the same byte for byte on every run.
"""

import math
import os
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
PNG_FROM = 64  # images this size and up are stored PNG-compressed

# ---- Shapes: signed distances in unit-square coordinates (y grows down) ----


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rounded_box(cx, cy, hw, hh, r):
    def d(x, y):
        qx = abs(x - cx) - hw + r
        qy = abs(y - cy) - hh + r
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return d


def polygon(points):
    """Exact distance to a simple polygon, negative inside."""
    def d(x, y):
        best = float("inf")
        inside = False
        n = len(points)
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[i - 1]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            best = min(best, math.hypot(wx - ex * t, wy - ey * t))
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
                inside = not inside
        return -best if inside else best
    return d


def grown(shape, amount):
    return lambda x, y: shape(x, y) - amount


def minus(shape, hole):
    return lambda x, y: max(shape(x, y), -hole(x, y))


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


# ---- Paints: a colour (r, g, b, a in 0..1) at a point ----------------------


def solid(r, g, b, a=1.0):
    return lambda x, y: (r, g, b, a)


def vertical(top, bottom, y0, y1):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(p + (q - p) * t for p, q in zip(top, bottom))
    return paint


def hexcolour(text, a=1.0):
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4)) + (a,)


# ---- The two designs: lists of (shape, paint) painted back to front --------


def installer_layers(size):
    # At the smallest sizes the outlines thicken to a whole pixel.
    px = 1.0 / size
    line = max(0.035, 1.0 * px)
    plate = rounded_box(0.5, 0.5, 0.47, 0.47, 0.16)
    disk = circle(0.5, 0.64, 0.29)
    hole = circle(0.5, 0.64, max(0.055, 1.1 * px))
    arrow = polygon([(0.405, 0.08), (0.595, 0.08), (0.595, 0.40), (0.76, 0.40),
                     (0.5, 0.70), (0.24, 0.40), (0.405, 0.40)])
    layers = [
        (plate, vertical(hexcolour("3C8CF0"), hexcolour("1A4BA0"), 0.03, 0.97)),
        (grown(plate, -line), vertical(hexcolour("4D9BF5"), hexcolour("2158B8"), 0.03, 0.97)),
        (minus(disk, hole), vertical(hexcolour("FFFFFF"), hexcolour("C9D6EA"), 0.35, 0.93)),
    ]
    if size >= 32:  # the disk's groove only blurs at the smallest sizes
        layers.append((minus(circle(0.5, 0.64, 0.15), circle(0.5, 0.64, 0.15 - line)),
                       solid(*hexcolour("9DB3D6"))))
    return layers + [
        (grown(arrow, line), solid(*hexcolour("7A3E00"))),
        (arrow, vertical(hexcolour("FFD04A"), hexcolour("F39200"), 0.08, 0.70)),
    ]


def client_layers(size):
    px = 1.0 / size
    line = max(0.03, 1.0 * px)
    badge = circle(0.5, 0.5, 0.48)
    frame = rounded_box(0.5, 0.44, 0.30, 0.21, 0.05)
    screen = rounded_box(0.5, 0.44, 0.30 - 2 * line, 0.21 - 2 * line, 0.02)
    stand = union(rounded_box(0.5, 0.70, 0.05, 0.06, 0.0),
                  rounded_box(0.5, 0.765, 0.16, max(0.03, px), 0.02))
    # A capture frame: four corner marks inside the screen.
    corners = []
    for sx in (-1, 1):
        for sy in (-1, 1):
            cx, cy = 0.5 + sx * 0.17, 0.44 + sy * 0.09
            corners.append(rounded_box(cx - sx * 0.025, cy, 0.035, line * 0.75, 0.0))
            corners.append(rounded_box(cx, cy - sy * 0.025, line * 0.75, 0.035, 0.0))
    layers = [
        (badge, vertical(hexcolour("21C2A6"), hexcolour("0B7F74"), 0.02, 0.98)),
        (grown(badge, -line), vertical(hexcolour("2FD3B6"), hexcolour("0E8E82"), 0.02, 0.98)),
        (union(frame, stand), solid(*hexcolour("FFFFFF"))),
        (screen, vertical(hexcolour("1C3D5A"), hexcolour("0F2536"), 0.25, 0.63)),
    ]
    if size >= 32:  # below that the marks fill the whole screen
        layers.append((union(*corners), solid(*hexcolour("FFC83D"))))
    return layers


# ---- Rendering ------------------------------------------------------------


def render(layers, size):
    """RGBA rows, top row first, 8 bits per channel, straight alpha."""
    rows = []
    for j in range(size):
        row = bytearray()
        y = (j + 0.5) / size
        for i in range(size):
            x = (i + 0.5) / size
            r = g = b = a = 0.0  # premultiplied while compositing
            for shape, paint in layers:
                cover = max(0.0, min(1.0, 0.5 - shape(x, y) * size))
                if cover == 0.0:
                    continue
                pr, pg, pb, pa = paint(x, y)
                k = cover * pa
                r = pr * k + r * (1 - k)
                g = pg * k + g * (1 - k)
                b = pb * k + b * (1 - k)
                a = k + a * (1 - k)
            if a > 0:
                row += bytes(round(c / a * 255) for c in (r, g, b)) + bytes([round(a * 255)])
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


# ---- Encoding -------------------------------------------------------------


def png_bytes(rows, size):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    # Per row, the filter that leaves the smallest sum of magnitudes.
    raw = bytearray()
    previous = bytes(len(rows[0]))
    for row in rows:
        candidates = []
        for kind in range(5):
            out = bytearray([kind])
            for n, value in enumerate(row):
                left = row[n - 4] if n >= 4 else 0
                up = previous[n]
                corner = previous[n - 4] if n >= 4 else 0
                if kind == 0:
                    pred = 0
                elif kind == 1:
                    pred = left
                elif kind == 2:
                    pred = up
                elif kind == 3:
                    pred = (left + up) // 2
                else:
                    p = left + up - corner
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                    pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                out.append((value - pred) & 0xFF)
            candidates.append((sum(v if v < 128 else 256 - v for v in out[1:]), kind, out))
        raw += min(candidates)[2]
        previous = row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows, size):
    # BITMAPINFOHEADER with twice the height (colour image plus AND mask),
    # then BGRA rows bottom-up, then the 1-bit mask rows padded to 32 bits.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    stride = (size + 31) // 32 * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for i in range(size):
            r, g, b, a = row[4 * i:4 * i + 4]
            pixels += bytes([b, g, r, a])
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(layers_for_size):
    images = []
    for size in SIZES:
        rows = render(layers_for_size(size), size)
        images.append((size, png_bytes(rows, size) if size >= PNG_FROM else bmp_bytes(rows, size)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = size if size < 256 else 0  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + b"".join(data for _, data in images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for relative, layers in (("app/icons/installer.ico", installer_layers),
                             ("sample/ovikclient.ico", client_layers)):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = ico_bytes(layers)
        with open(path, "wb") as out:
            out.write(data)
        print(f"{relative}: {len(data)} bytes")


if __name__ == "__main__":
    main()
