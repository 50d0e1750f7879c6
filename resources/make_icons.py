#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files (and PNG previews on request).

Run by the build (resources/CMakeLists.txt); the .ico files live only in the build tree.
Standard library only, and deterministic: the same script writes the same bytes, so a
rebuild never changes the program's resources behind anyone's back.

    make_icons.py --out DIR [--png DIR]
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZE = 128
# 4x4 samples per pixel: enough for smooth edges on the diagonals and the rounded corners.
SUPERSAMPLE = 4


def rounded_rect(x0, y0, x1, y1, r, segments=24):
    """Polygon of a rounded rectangle, clockwise in screen coordinates."""
    corners = ((x1 - r, y0 + r, -90.0), (x1 - r, y1 - r, 0.0),
               (x0 + r, y1 - r, 90.0), (x0 + r, y0 + r, 180.0))
    points = []
    for cx, cy, start in corners:
        for i in range(segments + 1):
            a = math.radians(start + 90.0 * i / segments)
            points.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return points


def shear(points, k, y_axis):
    """Leans a shape to the right, pivoting on the line y = y_axis."""
    return [(x + k * (y_axis - y), y) for x, y in points]


def coverage(polygon):
    """Fraction of each pixel's samples that fall inside the polygon (even-odd rule)."""
    s = SUPERSAMPLE
    cov = [0] * (SIZE * SIZE)
    edges = []
    n = len(polygon)
    for i in range(n):
        (xa, ya), (xb, yb) = polygon[i], polygon[(i + 1) % n]
        if ya != yb:
            edges.append((xa * s, ya * s, xb * s, yb * s))
    ys = [p[1] for p in polygon]
    row_lo = max(0, int(math.floor(min(ys) * s)))
    row_hi = min(SIZE * s, int(math.ceil(max(ys) * s)) + 1)
    for row in range(row_lo, row_hi):
        sy = row + 0.5
        crossings = []
        for xa, ya, xb, yb in edges:
            # Half-open in y so a vertex shared by two edges is counted once.
            if (ya <= sy < yb) or (yb <= sy < ya):
                crossings.append(xa + (sy - ya) * (xb - xa) / (yb - ya))
        crossings.sort()
        base = (row // s) * SIZE
        for i in range(0, len(crossings) - 1, 2):
            # Sample column j is inside when its centre j + 0.5 lies in [left, right).
            first = max(0, math.ceil(crossings[i] - 0.5))
            last = min(SIZE * s, math.ceil(crossings[i + 1] - 0.5))
            for col in range(first, last):
                cov[base + col // s] += 1
    total = s * s
    return [c / total for c in cov]


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def hex_rgb(text):
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


def render(style):
    """Returns SIZE*SIZE straight-alpha (r, g, b, a) tuples in 0..255, top row first."""
    top, bottom = hex_rgb(style["top"]), hex_rgb(style["bottom"])
    accent = hex_rgb(style["accent"])
    white = (1.0, 1.0, 1.0)
    shadow = hex_rgb(style["shadow"])

    # The tile's edges fall on whole pixels at 16 and 32 pixels, so the scaled-down
    # tray icon keeps a crisp border instead of a half-transparent ring.
    tile = rounded_rect(8, 8, 120, 120, 24)

    # The cap: a flat board seen slightly from above, the crown under it, and a tassel
    # hanging off the right tip, clear of the letter.
    board = [(26, 30), (64, 16), (102, 30), (64, 44)]
    crown = [(44, 35), (84, 35), (82, 46), (64, 51), (46, 46)]
    cord = [(63, 29), (101, 29), (101, 31), (63, 31)]
    drop = [(99.5, 30), (102.5, 30), (102.5, 44), (99.5, 44)]
    tassel = rounded_rect(97, 42, 105, 54, 3, 6)

    # One outline for the whole letter, so the joints of the bars and the diagonal
    # have no seams; leant a little so it reads as a mark rather than a typed letter.
    # Each bar fills one whole pixel row at 16 pixels (rows 7 and 13), which keeps
    # the letter legible in the notification area.
    left, right = 32, 94
    letter = shear([(left, 56), (right, 56), (right, 70), (left + 24, 98), (right + 2, 98),
                    (right + 2, 112), (left, 112), (left, 98), (right - 24, 70), (left, 70)],
                   0.14, 84)

    def offset(points, dx, dy):
        return [(x + dx, y + dy) for x, y in points]

    layers = [
        (coverage(tile), None, 1.0),
        # A soft shadow under the white and the gold lifts them off the tile at large
        # sizes; at 16 pixels it disappears into the tile colour.
        (coverage(offset(letter, 0, 3)), shadow, 0.30),
        (coverage(offset(board, 0, 3)), shadow, 0.30),
        (coverage(crown), lerp(accent, (0, 0, 0), 0.22), 1.0),
        (coverage(board), accent, 1.0),
        (coverage(cord), accent, 1.0),
        (coverage(drop), accent, 1.0),
        (coverage(tassel), accent, 1.0),
        (coverage(letter), white, 1.0),
    ]

    pixels = []
    for y in range(SIZE):
        gradient = lerp(top, bottom, (y + 0.5) / SIZE)
        for x in range(SIZE):
            i = y * SIZE + x
            # Premultiplied "over", bottom layer first.
            r = g = b = a = 0.0
            for cov, colour, opacity in layers:
                alpha = cov[i] * opacity
                if alpha <= 0.0:
                    continue
                c = gradient if colour is None else colour
                r = c[0] * alpha + r * (1.0 - alpha)
                g = c[1] * alpha + g * (1.0 - alpha)
                b = c[2] * alpha + b * (1.0 - alpha)
                a = alpha + a * (1.0 - alpha)
            if a <= 0.0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append((round(255 * r / a), round(255 * g / a),
                               round(255 * b / a), round(255 * a)))
    return pixels


def downscale(pixels, factor):
    """Box filter in premultiplied space, for previews of the small sizes."""
    size = SIZE // factor
    out = []
    for y in range(size):
        for x in range(size):
            r = g = b = a = 0
            for dy in range(factor):
                for dx in range(factor):
                    pr, pg, pb, pa = pixels[(y * factor + dy) * SIZE + x * factor + dx]
                    r += pr * pa
                    g += pg * pa
                    b += pb * pa
                    a += pa
            if a == 0:
                out.append((0, 0, 0, 0))
            else:
                out.append((round(r / a), round(g / a), round(b / a),
                            round(a / (factor * factor))))
    return size, out


def ico_bytes(pixels):
    """A single-image .ico in the classic form: BITMAPINFOHEADER, 32-bit BGRA rows
    bottom-up, then the 1-bit AND mask. Every version of LoadIconW reads this form,
    where a PNG-compressed image would need Vista or later."""
    row_mask_bytes = ((SIZE + 31) // 32) * 4
    colour = bytearray()
    mask = bytearray()
    for y in range(SIZE - 1, -1, -1):
        bits = bytearray(row_mask_bytes)
        for x in range(SIZE):
            r, g, b, a = pixels[y * SIZE + x]
            colour += bytes((b, g, r, a))
            # Code that ignores alpha falls back to the mask: transparent where nothing was drawn.
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    image_size = len(colour) + len(mask)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, image_size, 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    # Width and height bytes of 128 are stored as is; only 256 would be written as 0.
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for x in range(size):
            raw += bytes(pixels[y * size + x])
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


# The program's own icon (IDI_APP) and the progress dialog's icon (IDI_DIALOG): the same
# mark in another colour, so the two are told apart in the taskbar.
ICONS = {
    "zenquilo_app": {"top": "#3B82F6", "bottom": "#1D4ED8", "accent": "#FFC53D",
                     "shadow": "#0B2A78"},
    "zenquilo_dialog": {"top": "#14B88A", "bottom": "#047857", "accent": "#FFC53D",
                        "shadow": "#023D2C"},
}


def write_if_changed(path, data):
    # Leaving an identical file untouched keeps its time stamp, so nothing downstream
    # rebuilds just because this script ran again.
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="directory for the .ico files")
    parser.add_argument("--png", help="directory for PNG previews at 128, 32 and 16 pixels")
    args = parser.parse_args(argv)
    if not args.out and not args.png:
        parser.error("nothing to do: give --out and/or --png")

    for name, style in ICONS.items():
        pixels = render(style)
        if args.out:
            os.makedirs(args.out, exist_ok=True)
            write_if_changed(os.path.join(args.out, name + ".ico"), ico_bytes(pixels))
        if args.png:
            os.makedirs(args.png, exist_ok=True)
            write_if_changed(os.path.join(args.png, name + ".png"), png_bytes(SIZE, pixels))
            for factor in (4, 8):
                size, small = downscale(pixels, factor)
                write_if_changed(os.path.join(args.png, "%s_%d.png" % (name, size)),
                                 png_bytes(size, small))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
