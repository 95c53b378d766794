#!/usr/bin/env python3
"""Draws the wizard's pictures: the program icon and the welcome page's picture.

    draw_art.py ICON_PATH BITMAP_PATH

The icon holds two 256-colour images, 16 x 16 and 32 x 32; the picture is a 240 x 398 bitmap
with 24 bits per pixel. Both are drawn from shapes in code, so the build needs no image tool
and the same files come out on every machine.
"""

import struct
import sys

# ---------------------------------------------------------------------------------------------
# A tiny raster: a list of rows of (r, g, b), drawn with a few shapes.


class Canvas:
    def __init__(self, width, height, colour):
        self.width = width
        self.height = height
        self.pixels = [[colour] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def fill(self, inside, colour):
        for y in range(self.height):
            for x in range(self.width):
                if inside(x + 0.5, y + 0.5):
                    self.pixels[y][x] = colour(x, y) if callable(colour) else colour


def rounded_rect(left, top, right, bottom, radius):
    def inside(x, y):
        if x < left or x > right or y < top or y > bottom:
            return False
        cx = min(max(x, left + radius), right - radius)
        cy = min(max(y, top + radius), bottom - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius

    return inside


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result

    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


NAVY = (16, 42, 92)
TEAL = (24, 132, 150)
BODY = (52, 58, 70)
BODY_EDGE = (150, 160, 175)
SCREEN_TOP = (120, 200, 235)
SCREEN_BOTTOM = (40, 110, 190)
ARROW = (255, 196, 40)
WHITE = (245, 248, 250)


def draw_handset(canvas, left, top, width, height):
    """A handheld seen from the front: body, screen, keys, and an arrow flowing into it."""
    right, bottom = left + width, top + height
    radius = width * 0.16
    canvas.fill(rounded_rect(left, top, right, bottom, radius), BODY_EDGE)
    edge = max(1.0, width * 0.05)
    canvas.fill(rounded_rect(left + edge, top + edge, right - edge, bottom - edge, radius - edge), BODY)
    s_left, s_right = left + width * 0.14, right - width * 0.14
    s_top, s_bottom = top + height * 0.12, top + height * 0.68
    canvas.fill(
        rounded_rect(s_left, s_top, s_right, s_bottom, width * 0.04),
        lambda x, y: mix(SCREEN_TOP, SCREEN_BOTTOM, (y - s_top) / max(1.0, s_bottom - s_top)),
    )
    # Keys under the screen.
    key_y = top + height * 0.8
    for k in range(3):
        kx = left + width * (0.28 + 0.22 * k)
        canvas.fill(circle(kx, key_y, max(1.0, width * 0.07)), BODY_EDGE)
    # The arrow: new software going into the device.
    cx = (s_left + s_right) / 2
    shaft = width * 0.09
    head = width * 0.24
    a_top, a_mid, a_tip = s_top + height * 0.06, s_top + height * 0.30, s_top + height * 0.46
    canvas.fill(
        polygon(
            [
                (cx - shaft, a_top),
                (cx + shaft, a_top),
                (cx + shaft, a_mid),
                (cx + head, a_mid),
                (cx, a_tip),
                (cx - head, a_mid),
                (cx - shaft, a_mid),
            ]
        ),
        ARROW,
    )


def welcome_picture():
    width, height = 240, 398
    canvas = Canvas(width, height, NAVY)
    canvas.fill(lambda x, y: True, lambda x, y: mix(NAVY, TEAL, y / height))
    # Soft diagonal bands behind the handset.
    for band in range(6):
        offset = band * 90 - 120
        canvas.fill(
            polygon([(offset, height), (offset + 40, height), (offset + 40 + 260, 0), (offset + 260, 0)]),
            lambda x, y, band=band: mix(mix(NAVY, TEAL, y / height), WHITE, 0.06 + 0.02 * (band % 2)),
        )
    draw_handset(canvas, 62, 70, 116, 220)
    # A row of dots under it: the transfer in progress.
    for i in range(7):
        canvas.fill(circle(48 + i * 24, 330, 5), mix(ARROW, WHITE, i / 8))
    return canvas


def icon_picture(size):
    canvas = Canvas(size, size, (0, 0, 0))
    draw_handset(canvas, size * 0.2, size * 0.03, size * 0.6, size * 0.94)
    # Everything not painted is transparent: remember the painted pixels.
    painted = [[False] * size for _ in range(size)]
    shape = rounded_rect(size * 0.2, size * 0.03, size * 0.8, size * 0.97, size * 0.6 * 0.16)
    for y in range(size):
        for x in range(size):
            painted[y][x] = shape(x + 0.5, y + 0.5)
    return canvas, painted


# ---------------------------------------------------------------------------------------------
# File formats.


def bmp_24(canvas):
    row_size = (canvas.width * 3 + 3) & ~3
    data = bytearray()
    for y in reversed(range(canvas.height)):
        row = bytearray()
        for r, g, b in canvas.pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        data += row
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return header + info + bytes(data)


def palette_256():
    """A fixed palette: a 6 x 6 x 6 colour cube plus a grey ramp."""
    colours = []
    for r in range(6):
        for g in range(6):
            for b in range(6):
                colours.append((r * 51, g * 51, b * 51))
    for i in range(256 - len(colours)):
        v = int(round(i * 255 / 39))
        colours.append((v, v, v))
    return colours


def nearest(palette, colour):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def icon_image_8bpp(size, palette):
    canvas, painted = icon_picture(size)
    xor_row = (size + 3) & ~3
    and_row = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    cache = {}
    for y in reversed(range(size)):
        row = bytearray()
        bits = bytearray(and_row)
        for x in range(size):
            colour = canvas.pixels[y][x]
            if colour not in cache:
                cache[colour] = nearest(palette, colour)
            row.append(cache[colour] if painted[y][x] else 0)
            if not painted[y][x]:
                bits[x // 8] |= 0x80 >> (x % 8)
        row += b"\0" * (xor_row - len(row))
        xor += row
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return info + pal + bytes(xor) + bytes(mask)


def ico(sizes):
    palette = palette_256()
    images = [icon_image_8bpp(size, palette) for size in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: draw_art.py ICON_PATH BITMAP_PATH\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(ico([16, 32]))
    with open(argv[2], "wb") as f:
        f.write(bmp_24(welcome_picture()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
