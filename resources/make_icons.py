#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as the six PNG images of its icon group.

    make_icons.py [--check] [DIR]

Writes DIR/launcher-16.png ... DIR/launcher-256.png (16, 32, 48, 64, 128 and 256 px; RGBA, 8 bits
per channel, not interlaced, no ancillary chunks) and DIR/launcher.icongroup, the icon-group
directory that launcher.rc stores as resource type 14 (planes 0, 32 bits per pixel, colour count 0,
byte sizes of the PNG files, icon ids 1 to 6). DIR defaults to icons/ beside this script.

With --check nothing is written: the committed images are decoded and compared pixel by pixel with a
fresh drawing, and the icon-group file with the PNG files' sizes. Exit code 1 on any difference.

The artwork: a rounded indigo square holding a white page with a folded corner and a "run" triangle,
one file that starts. Every size is drawn from the same shapes (no downscaling), anti-aliased from
signed distances; straight edges are put on whole pixels so the small sizes stay sharp. Standard
library only, and deterministic: the drawing uses only IEEE arithmetic and sqrt.
"""
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)

# Colours, 0..1 sRGB.
BACKGROUND_TOP_LEFT = (0x5a / 255, 0x78 / 255, 0xf2 / 255)
BACKGROUND_BOTTOM_RIGHT = (0x2c / 255, 0x36 / 255, 0x9c / 255)
PAGE = (1.0, 1.0, 1.0)
FOLD = (0xc4 / 255, 0xcf / 255, 0xfa / 255)
RUN = (0x3a / 255, 0x4f / 255, 0xd6 / 255)
SHADOW_ALPHA = 0.30


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def length(x, y):
    return (x * x + y * y) ** 0.5


def rounded_box_distance(px, py, x0, y0, x1, y1, radius):
    """Signed distance to an axis-aligned box with rounded corners (negative inside)."""
    cx, cy = (x0 + x1) * 0.5, (y0 + y1) * 0.5
    qx = abs(px - cx) - ((x1 - x0) * 0.5 - radius)
    qy = abs(py - cy) - ((y1 - y0) * 0.5 - radius)
    outside = length(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


class ConvexShape:
    """A convex polygon (clockwise on screen, y down) with its corners rounded by `radius`: the
    polygon is shrunk by the radius and the distance to the shrunk one is reduced by it."""

    def __init__(self, points, radius):
        self.radius = radius
        n = len(points)
        lines = []
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            ex, ey = bx - ax, by - ay
            norm = length(ex, ey)
            nx, ny = ey / norm, -ex / norm          # outward normal for clockwise order, y down
            lines.append((nx, ny, nx * ax + ny * ay - radius))
        inner = []
        for i in range(n):
            n1x, n1y, c1 = lines[i - 1]
            n2x, n2y, c2 = lines[i]
            det = n1x * n2y - n1y * n2x
            inner.append(((c1 * n2y - n1y * c2) / det, (n1x * c2 - c1 * n2x) / det))
        self.points = inner
        self.lines = lines

    def distance(self, px, py):
        pts = self.points
        n = len(pts)
        best = None
        inside = True
        for i in range(n):
            ax, ay = pts[i]
            bx, by = pts[(i + 1) % n]
            ex, ey = bx - ax, by - ay
            wx, wy = px - ax, py - ay
            t = clamp01((wx * ex + wy * ey) / (ex * ex + ey * ey))
            d = length(wx - ex * t, wy - ey * t)
            best = d if best is None or d < best else best
            nx, ny, _ = self.lines[i]
            if wx * nx + wy * ny > 0.0:
                inside = False
        return (-best if inside else best) - self.radius


def coverage(distance_px):
    """Share of a pixel covered by a shape whose edge is `distance_px` pixels away."""
    return clamp01(0.5 - distance_px)


def smoothstep(e0, e1, x):
    t = clamp01((x - e0) / (e1 - e0))
    return t * t * (3.0 - 2.0 * t)


def draw(size):
    """Returns the image as rows of straight-alpha RGBA bytes."""
    s = float(size)

    def snap(v):                      # a coordinate (0..1) put on the nearest pixel edge
        return round(v * s) / s

    margin = max(snap(0.04), 1.0 / s)
    bg = (margin, margin, 1.0 - margin, 1.0 - margin)
    bg_radius = 0.19

    left, right = snap(0.27), snap(0.73)
    top, bottom = snap(0.16), snap(0.84)
    fold = snap(0.18)
    page_radius = max(0.035, 0.8 / s)
    page = ConvexShape([(left, top), (right - fold, top), (right, top + fold),
                        (right, bottom), (left, bottom)], page_radius)
    dog_ear = ConvexShape([(right - fold, top), (right, top + fold),
                           (right - fold, top + fold)], min(0.012, page_radius * 0.5))
    shadow_dx, shadow_dy = 0.012, 0.022
    shadow = SHADOW_ALPHA if size >= 32 else 0.0     # at 16 px a shadow only blurs the page
    run = ConvexShape([(0.425, 0.44), (0.635, 0.585), (0.425, 0.73)], 0.022)

    rows = []
    for j in range(size):
        row = bytearray()
        py = (j + 0.5) / s
        for i in range(size):
            px = (i + 0.5) / s
            # Premultiplied colour and alpha, painted back to front.
            r = g = b = a = 0.0

            def paint(colour, alpha, r, g, b, a):
                keep = 1.0 - alpha
                return (colour[0] * alpha + r * keep, colour[1] * alpha + g * keep,
                        colour[2] * alpha + b * keep, alpha + a * keep)

            cov = coverage(rounded_box_distance(px, py, *bg, bg_radius) * s)
            if cov > 0.0:
                t = clamp01((px + py - 2.0 * margin) / (2.0 - 4.0 * margin))
                colour = tuple(c0 + (c1 - c0) * t
                               for c0, c1 in zip(BACKGROUND_TOP_LEFT, BACKGROUND_BOTTOM_RIGHT))
                r, g, b, a = paint(colour, cov, r, g, b, a)

                if shadow > 0.0:
                    d_shadow = page.distance(px - shadow_dx, py - shadow_dy)
                    soft = 1.0 - smoothstep(-0.02, 0.045, d_shadow)
                    if soft > 0.0:
                        r, g, b, a = paint((0.0, 0.0, 0.0), shadow * soft * cov, r, g, b, a)

                cov_page = coverage(page.distance(px, py) * s)
                if cov_page > 0.0:
                    r, g, b, a = paint(PAGE, cov_page, r, g, b, a)
                    cov_ear = coverage(dog_ear.distance(px, py) * s)
                    if cov_ear > 0.0:
                        r, g, b, a = paint(FOLD, cov_ear, r, g, b, a)
                    cov_run = coverage(run.distance(px, py) * s)
                    if cov_run > 0.0:
                        r, g, b, a = paint(RUN, cov_run * cov_page, r, g, b, a)

            if a <= 0.0:
                row += b"\0\0\0\0"
            else:
                row += bytes((round(clamp01(r / a) * 255), round(clamp01(g / a) * 255),
                              round(clamp01(b / a) * 255), round(a * 255)))
        rows.append(bytes(row))
    return rows


# --- PNG ---------------------------------------------------------------------------------------

def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, prior, bpp=4):
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) >> 1, paeth(a, b, c))[kind]
        out[i] = (x - predictor) & 0xff
    return out


def unfilter_row(kind, data, prior, bpp=4):
    out = bytearray(len(data))
    for i, x in enumerate(data):
        a = out[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) >> 1, paeth(a, b, c))[kind]
        out[i] = (x + predictor) & 0xff
    return bytes(out)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(rows):
    size = len(rows)
    prior = bytes(len(rows[0]))
    raw = bytearray()
    for row in rows:
        # The usual heuristic: the filter whose output has the smallest sum of signed bytes.
        best = None
        for kind in range(5):
            candidate = filter_row(kind, row, prior)
            score = sum(v if v < 128 else 256 - v for v in candidate)
            if best is None or score < best[0]:
                best = (score, kind, candidate)
        raw.append(best[1])
        raw += best[2]
        prior = row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def decode_png(data):
    """Rows of RGBA bytes from a PNG of the form encode_png writes (8-bit RGBA, not interlaced)."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError("not 8-bit RGBA without interlacing")
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, prior = [], bytes(stride)
    for j in range(height):
        line = raw[j * (stride + 1):(j + 1) * (stride + 1)]
        prior = unfilter_row(line[0], line[1:], prior)
        rows.append(prior)
    return rows


def icon_group(png_sizes):
    """The icon-group directory: header, then one 14-byte entry per image, icon ids 1.."""
    out = struct.pack("<HHH", 0, 1, len(png_sizes))
    for index, (pixels, nbytes) in enumerate(png_sizes):
        side = 0 if pixels == 256 else pixels
        out += struct.pack("<BBBBHHIH", side, side, 0, 0, 0, 32, nbytes, index + 1)
    return out


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    out_dir = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons")
    png_sizes = []
    problems = []
    for size in SIZES:
        path = os.path.join(out_dir, "launcher-%d.png" % size)
        rows = draw(size)
        if check:
            try:
                with open(path, "rb") as f:
                    committed = f.read()
                if decode_png(committed) != rows:
                    problems.append("%s: pixels differ from a fresh drawing" % path)
            except (OSError, ValueError) as e:
                problems.append("%s: %s" % (path, e))
                continue
            png_sizes.append((size, len(committed)))
        else:
            data = encode_png(rows)
            with open(path, "wb") as f:
                f.write(data)
            png_sizes.append((size, len(data)))
            print("%s: %d bytes" % (path, len(data)))
    group_path = os.path.join(out_dir, "launcher.icongroup")
    if check:
        try:
            with open(group_path, "rb") as f:
                if f.read() != icon_group(png_sizes):
                    problems.append("%s: does not match the images" % group_path)
        except OSError as e:
            problems.append("%s: %s" % (group_path, e))
        for p in problems:
            print("make_icons: " + p, file=sys.stderr)
        if not problems:
            print("make_icons: the committed icons match the drawing")
        return 1 if problems else 0
    with open(group_path, "wb") as f:
        f.write(icon_group(png_sizes))
    print("%s: %d images" % (group_path, len(png_sizes)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
