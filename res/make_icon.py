#!/usr/bin/env python3
"""Draws the application icon: a circuit chip with an upward arrow.

Writes, next to this script:
  icon.png  400 x 400, 8-bit RGBA, non-interlaced (the window icon, compiled
            in as the Qt resource :/res/icon.png)
  icon.ico  one 64 x 64, 32-bit image (the Windows file icon)

Only the standard library is used. Every shape is described by a signed
distance function on a 400-unit canvas, so both sizes come from the same
drawing and their edges are anti-aliased by the distance to the outline.
Running the script again reproduces the same files.

    python3 res/make_icon.py
"""

import math
import os
import struct
import zlib

CANVAS = 400.0
PNG_SIZE = 400
ICO_SIZE = 64
# The PNG is padded to this length with a comment chunk, so that the file
# keeps one size from one drawing revision to the next. 0 disables padding.
PNG_FILE_SIZE = 10360

PIN_COLOUR = (0xC9, 0xD1, 0xDC)
BODY_TOP = (0x34, 0x4B, 0x6E)
BODY_BOTTOM = (0x22, 0x32, 0x4B)
PANEL_COLOUR = (0x2B, 0x40, 0x60)
RING_COLOUR = (0x4F, 0x6F, 0x9C)
ARROW_TOP = (0x4D, 0xF7, 0x9C)
ARROW_BOTTOM = (0x00, 0xCC, 0x66)
SHADOW_COLOUR = (0x10, 0x18, 0x28)


# --- distance functions (negative inside, in canvas units) -----------------

def sd_round_rect(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_polygon(px, py, pts):
    d = (px - pts[0][0]) ** 2 + (py - pts[0][1]) ** 2
    sign = 1.0
    n = len(pts)
    j = n - 1
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[j]
        ex, ey = bx - ax, by - ay
        wx, wy = px - ax, py - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        dx, dy = wx - ex * t, wy - ey * t
        d = min(d, dx * dx + dy * dy)
        c1 = py >= ay
        c2 = py < by
        c3 = ex * wy > ey * wx
        if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
            sign = -sign
        j = i
    return sign * math.sqrt(d)


# --- the drawing -----------------------------------------------------------

PIN_CENTRES = (110.0, 155.0, 200.0, 245.0, 290.0)
PIN_HALF_WIDTH = 9.0
ARROW = ((200.0, 124.0), (276.0, 208.0), (230.0, 208.0), (230.0, 274.0),
         (170.0, 274.0), (170.0, 208.0), (124.0, 208.0))


def sd_pins(x, y):
    d = 1e9
    for c in PIN_CENTRES:
        if abs(x - c) < 40.0:
            d = min(d, sd_round_rect(x, y, c - PIN_HALF_WIDTH, 36.0,
                                     c + PIN_HALF_WIDTH, 364.0, 6.0))
        if abs(y - c) < 40.0:
            d = min(d, sd_round_rect(x, y, 36.0, c - PIN_HALF_WIDTH,
                                     364.0, c + PIN_HALF_WIDTH, 6.0))
    return d


def mix(top, bottom, y, y0, y1):
    t = min(1.0, max(0.0, (y - y0) / (y1 - y0)))
    return tuple(a + (b - a) * t for a, b in zip(top, bottom))


def layers(x, y, scale):
    """The layers under canvas point (x, y), bottom first, as
    (coverage, (r, g, b)) pairs; scale is the canvas size of one pixel."""
    def edge(dist):
        return min(1.0, max(0.0, 0.5 - dist / scale))

    body = sd_round_rect(x, y, 70.0, 70.0, 330.0, 330.0, 38.0)
    # A soft shadow below the body, fading out over 18 units.
    shadow = sd_round_rect(x, y, 74.0, 80.0, 326.0, 338.0, 40.0)
    fade = min(1.0, max(0.0, (shadow + 2.0) / 18.0))
    ring_outer = sd_round_rect(x, y, 92.0, 92.0, 308.0, 308.0, 24.0)
    return (
        (0.30 * (1.0 - fade * fade * (3.0 - 2.0 * fade)), SHADOW_COLOUR),
        (edge(sd_pins(x, y)), PIN_COLOUR),
        (edge(body), mix(BODY_TOP, BODY_BOTTOM, y, 70.0, 330.0)),
        (edge(ring_outer), RING_COLOUR),
        (edge(ring_outer + 5.0), PANEL_COLOUR),
        (edge(sd_polygon(x, y, ARROW) - 4.0),
         mix(ARROW_TOP, ARROW_BOTTOM, y, 124.0, 274.0)),
    )


def render(size):
    """Returns size rows of straight-alpha RGBA bytes."""
    scale = CANVAS / size
    rows = []
    for j in range(size):
        row = bytearray()
        y = (j + 0.5) * scale
        for i in range(size):
            x = (i + 0.5) * scale
            r = g = b = 0.0
            a = 0.0
            for cover, colour in layers(x, y, scale):
                if cover <= 0.0:
                    continue
                out_a = cover + a * (1.0 - cover)
                keep = a * (1.0 - cover)
                r = (colour[0] * cover + r * keep) / out_a
                g = (colour[1] * cover + g * keep) / out_a
                b = (colour[2] * cover + b * keep) / out_a
                a = out_a
            if a <= 0.0:
                row += b"\0\0\0\0"
            else:
                row += bytes((round(r), round(g), round(b), round(a * 255.0)))
        rows.append(bytes(row))
    return rows


# --- PNG -------------------------------------------------------------------

def png_chunk(kind, data):
    body = kind + data
    return (struct.pack(">I", len(data)) + body
            + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp=4):
    """Chooses per row the filter with the smallest sum of absolute values."""
    out = bytearray()
    prev = bytes(len(rows[0]))
    for row in rows:
        candidates = []
        n = len(row)
        left = bytes(bpp) + row[:-bpp]
        upleft = bytes(bpp) + prev[:-bpp]
        candidates.append((0, row))
        candidates.append((1, bytes((row[k] - left[k]) & 0xFF for k in range(n))))
        candidates.append((2, bytes((row[k] - prev[k]) & 0xFF for k in range(n))))
        candidates.append((3, bytes((row[k] - ((left[k] + prev[k]) >> 1)) & 0xFF
                                    for k in range(n))))
        candidates.append((4, bytes((row[k] - paeth(left[k], prev[k], upleft[k])) & 0xFF
                                    for k in range(n))))

        def cost(c):
            return sum(v if v < 128 else 256 - v for v in c[1])

        kind, data = min(candidates, key=cost)
        out.append(kind)
        out += data
        prev = row
    return bytes(out)


def encode_png(rows, file_size=0):
    size = len(rows)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    idat = zlib.compress(filter_rows(rows), 9)
    head = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
    tail = png_chunk(b"IDAT", idat) + png_chunk(b"IEND", b"")
    comment = b"Comment\0Tarnvik Upgrade Tool icon"
    length = len(head) + len(tail) + 12 + len(comment)
    if file_size:
        if length > file_size:
            raise SystemExit("icon.png needs %d bytes, more than %d"
                             % (length, file_size))
        comment += b" " * (file_size - length)
    return head + png_chunk(b"tEXt", comment) + tail


# --- ICO (one 32-bit DIB image) ---------------------------------------------

def encode_ico(rows):
    size = len(rows)
    # The DIB is stored bottom-up in BGRA, followed by a 1-bit AND mask whose
    # rows are padded to 32 bits; with an alpha channel the mask is only used
    # by old renderers, so it marks the fully transparent pixels.
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i in range(size):
            r, g, b, a = row[4 * i:4 * i + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + bytes(pixels) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                        len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "icon.png"), "wb") as f:
        f.write(encode_png(render(PNG_SIZE), PNG_FILE_SIZE))
    with open(os.path.join(here, "icon.ico"), "wb") as f:
        f.write(encode_ico(render(ICO_SIZE)))


if __name__ == "__main__":
    main()
