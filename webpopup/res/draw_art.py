#!/usr/bin/env python3
"""Draws the pop-up's artwork: the frame (bitmap 129), the close button strip
(bitmap 130) and the two window icons (107 large, 108 small).

Standard library only. Run from anywhere; it rewrites the files beside it:
    python3 webpopup/res/draw_art.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGENTA = (255, 0, 255)

# Frame palette: a dark caption band over a light body, with a one-pixel
# outline that follows the rounded corners.
OUTLINE = (24, 40, 72)
CAPTION_TOP = (44, 86, 150)
CAPTION_BOTTOM = (30, 62, 116)
BODY = (226, 232, 242)
CORNER_RADIUS = 9
CAPTION_HEIGHT = 32

# Close button frames: normal, pressed, hover, then two spare frames.
BUTTON_FACES = [(70, 110, 170), (150, 30, 30), (215, 60, 60), (120, 120, 120), (90, 150, 90)]


def write_bmp24(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b), y from the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def outside_rounded(x, y, w, h, radius):
    """True for pixels outside a rectangle with rounded corners."""
    for cx, cy, inx, iny in (
        (radius, radius, x < radius, y < radius),
        (w - 1 - radius, radius, x > w - 1 - radius, y < radius),
        (radius, h - 1 - radius, x < radius, y > h - 1 - radius),
        (w - 1 - radius, h - 1 - radius, x > w - 1 - radius, y > h - 1 - radius),
    ):
        if inx and iny:
            return (x - cx) ** 2 + (y - cy) ** 2 > radius * radius
    return False


def on_outline(x, y, w, h, radius):
    if outside_rounded(x, y, w, h, radius):
        return False
    return any(outside_rounded(x + dx, y + dy, w, h, radius) or not (0 <= x + dx < w and 0 <= y + dy < h)
               for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def frame_pixel(x, y, size=128):
    if outside_rounded(x, y, size, size, CORNER_RADIUS):
        return MAGENTA
    if on_outline(x, y, size, size, CORNER_RADIUS):
        return OUTLINE
    if y < CAPTION_HEIGHT:
        return mix(CAPTION_TOP, CAPTION_BOTTOM, y / (CAPTION_HEIGHT - 1))
    return BODY


def button_pixel(x, y, frame_w=27, frame_h=28):
    face = BUTTON_FACES[x // frame_w]
    fx, fy = x % frame_w, y
    cx, cy = (frame_w - 1) / 2, (frame_h - 1) / 2
    d2 = (fx - cx) ** 2 + (fy - cy) ** 2
    if d2 > 11.5 ** 2:
        return MAGENTA
    if d2 > 10.5 ** 2:
        return (255, 255, 255)
    # A white cross in the middle of the disc.
    u, v = fx - cx, fy - cy
    if abs(u) <= 5 and abs(v) <= 5 and (abs(u - v) <= 1 or abs(u + v) <= 1):
        return (255, 255, 255)
    return face


def icon_image(size):
    """32-bit BGRA image plus AND mask, as stored in an ICO entry."""
    radius = max(2, size // 6)
    pixels = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            if outside_rounded(x, y, size, size, radius):
                pixels += bytes((0, 0, 0, 0))
                continue
            if y < size * 3 // 10:
                r, g, b = CAPTION_TOP
            else:
                r, g, b = BODY
            # A globe-like ring in the body marks the web page.
            cx, cy, rr = size / 2 - 0.5, size * 0.62, size * 0.26
            d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
            if abs(d - rr) < max(1.0, size / 24) or (d < rr and (abs(x - cx) < size / 32 + 0.5 or abs(y - cy) < size / 32 + 0.5)):
                r, g, b = OUTLINE
            pixels += bytes((b, g, r, 255))
    mask_stride = ((size + 31) // 32) * 4
    mask = b"\0" * (mask_stride * size)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return info + bytes(pixels) + mask


def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def main():
    write_bmp24(os.path.join(HERE, "frame.bmp"), 128, 128, frame_pixel)
    write_bmp24(os.path.join(HERE, "close.bmp"), 135, 28, button_pixel)
    write_ico(os.path.join(HERE, "vistrel.ico"), [32, 48])
    write_ico(os.path.join(HERE, "vistrel_small.ico"), [16])


if __name__ == "__main__":
    main()
