#!/usr/bin/env python3
"""Draws the program's four images and writes them as PNG files beside this script.

Only the standard library is used: shapes are described by signed distance
functions, which give anti-aliased edges for free, and the PNG encoder is a few
lines of zlib. Run it again after changing a drawing; the output is deterministic.

The device pictures are 900x600. The build (sources/gui/prepared_images.h) crops them to the band
x 100..899, y 290..599, so everything that matters (the instrument and its
model name) is drawn inside that band.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------- canvas

class Canvas:
    """Premultiplied RGBA in floats from 0 to 1."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [0.0] * (width * height * 4)

    def draw(self, distance, bounds, paint):
        """Composites a shape over the canvas.

        distance(x, y): signed distance to the shape's edge, negative inside.
        bounds: (x0, y0, x1, y1) that encloses the shape.
        paint(x, y): straight (not premultiplied) RGBA colour at that point.
        """
        x0, y0, x1, y1 = bounds
        x0 = max(0, int(math.floor(x0)) - 1)
        y0 = max(0, int(math.floor(y0)) - 1)
        x1 = min(self.width, int(math.ceil(x1)) + 2)
        y1 = min(self.height, int(math.ceil(y1)) + 2)
        px = self.pixels
        for y in range(y0, y1):
            cy = y + 0.5
            row = y * self.width
            for x in range(x0, x1):
                cx = x + 0.5
                coverage = 0.5 - distance(cx, cy)
                if coverage <= 0.0:
                    continue
                if coverage > 1.0:
                    coverage = 1.0
                r, g, b, a = paint(cx, cy)
                a *= coverage
                if a <= 0.0:
                    continue
                i = (row + x) * 4
                keep = 1.0 - a
                px[i] = r * a + px[i] * keep
                px[i + 1] = g * a + px[i + 1] * keep
                px[i + 2] = b * a + px[i + 2] * keep
                px[i + 3] = a + px[i + 3] * keep

    def straight_pixels(self):
        """The picture as straight (not premultiplied) RGBA byte tuples, row by row."""
        px = self.pixels
        result = []
        for i in range(0, len(px), 4):
            a = px[i + 3]
            if to_byte(a) == 0:
                result.append((0, 0, 0, 0))
            else:
                result.append((to_byte(px[i] / a), to_byte(px[i + 1] / a), to_byte(px[i + 2] / a), to_byte(a)))
        return result

    def write_png(self, path):
        """True colour with alpha: for small pictures, where every shade counts."""
        pixels = self.straight_pixels()
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)  # filter: none
            for colour in pixels[y * self.width:(y + 1) * self.width]:
                raw += bytes(colour)
        write_png_chunks(path, self.width, self.height, 6, [(b"IDAT", zlib.compress(bytes(raw), 9))])

    def write_indexed_png(self, path):
        """At most 256 colours with alpha: a quarter of the bytes to unpack for large
        pictures, which the build reads."""
        pixels = self.straight_pixels()
        palette, index_of = quantize(pixels)
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)
            raw += bytes(index_of[colour] for colour in pixels[y * self.width:(y + 1) * self.width])
        chunks = [(b"PLTE", b"".join(bytes(c[:3]) for c in palette)),
                  (b"tRNS", bytes(c[3] for c in palette)),
                  (b"IDAT", zlib.compress(bytes(raw), 9))]
        write_png_chunks(path, self.width, self.height, 3, chunks)


def write_png_chunks(path, width, height, colour_type, chunks):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)))
        for kind, data in chunks:
            out.write(chunk(kind, data))
        out.write(chunk(b"IEND", b""))


def quantize(pixels, size=256):
    """Median cut in premultiplied RGBA, so that faint edge pixels weigh little.

    Returns the palette (straight RGBA tuples, fully transparent first) and a map
    from every colour of the picture to its palette index.
    """
    counts = {}
    for colour in pixels:
        counts[colour] = counts.get(colour, 0) + 1
    transparent = (0, 0, 0, 0)
    counts.pop(transparent, None)

    def premultiplied(colour):
        r, g, b, a = colour
        return (r * a / 255.0, g * a / 255.0, b * a / 255.0, float(a))

    entries = [(premultiplied(c), n, c) for c, n in sorted(counts.items())]

    def widest(box):
        best_channel, best_range = 0, -1.0
        for channel in range(4):
            values = [e[0][channel] for e in box]
            spread = max(values) - min(values)
            if spread > best_range:
                best_channel, best_range = channel, spread
        return best_channel, best_range

    boxes = [entries] if entries else []
    while len(boxes) < size - 1:
        scored = [(widest(box)[1] ** 2 * sum(e[1] for e in box), i) for i, box in enumerate(boxes) if len(box) > 1]
        if not scored:
            break
        _, chosen = max(scored)
        box = boxes.pop(chosen)
        channel, _ = widest(box)
        box.sort(key=lambda e: e[0][channel])
        half, running = sum(e[1] for e in box) / 2.0, 0
        for cut, e in enumerate(box):
            running += e[1]
            if running >= half:
                break
        cut = min(max(cut + 1, 1), len(box) - 1)
        boxes += [box[:cut], box[cut:]]

    palette = [transparent]
    index_of = {transparent: 0}
    for box in boxes:
        total = float(sum(e[1] for e in box))
        mean = [sum(e[0][ch] * e[1] for e in box) / total for ch in range(4)]
        alpha = mean[3]
        straight = tuple(max(0, min(255, int(round(mean[ch] * 255.0 / alpha)))) for ch in range(3))
        palette.append(straight + (max(1, min(255, int(round(alpha)))),))
        for e in box:
            index_of[e[2]] = len(palette) - 1
    return palette, index_of


def to_byte(value):
    return max(0, min(255, int(round(value * 255.0))))


def rgba(hex_colour, alpha=1.0):
    value = int(hex_colour.lstrip("#"), 16)
    return ((value >> 16 & 255) / 255.0, (value >> 8 & 255) / 255.0, (value & 255) / 255.0, alpha)


def solid(colour):
    return lambda x, y: colour


def vertical_gradient(top, bottom, y0, y1):
    def paint(x, y):
        t = min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return paint


# ---------------------------------------------------------------- shapes

def rounded_box(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius

    def distance(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return distance, (x0, y0, x1, y1)


def outline(shape, width):
    distance, (x0, y0, x1, y1) = shape
    half = width / 2.0
    return (lambda x, y: abs(distance(x, y)) - half), (x0 - half, y0 - half, x1 + half, y1 + half)


def circle(cx, cy, radius):
    return (lambda x, y: math.hypot(x - cx, y - cy) - radius), (cx - radius, cy - radius, cx + radius, cy + radius)


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def arc_distance(x, y, cx, cy, radius, start, end):
    """Distance to a circular arc running from angle start to end (radians, y down)."""
    angle = math.atan2(y - cy, x - cx)
    while angle < start:
        angle += 2 * math.pi
    while angle > start + 2 * math.pi:
        angle -= 2 * math.pi
    if angle <= end:
        return abs(math.hypot(x - cx, y - cy) - radius)
    return min(math.hypot(x - cx - radius * math.cos(a), y - cy - radius * math.sin(a)) for a in (start, end))


def convex_polygon(points):
    """Signed distance, exact along the edges; good enough for small arrow heads."""
    edges = []
    n = len(points)
    area = sum(points[i][0] * points[(i + 1) % n][1] - points[(i + 1) % n][0] * points[i][1] for i in range(n))
    orientation = 1.0 if area > 0 else -1.0
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        length = math.hypot(bx - ax, by - ay)
        edges.append((ax, ay, (by - ay) / length * orientation, -(bx - ax) / length * orientation))

    def distance(x, y):
        return max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return distance, (min(xs), min(ys), max(xs), max(ys))


# ---------------------------------------------------------------- lettering

# A rounded geometric stroke alphabet on a cap height of 1 (y grows downwards).
# Each glyph: advance width and strokes, a stroke being ("line", points...) or
# ("arc", cx, cy, r, start_degrees, end_degrees) or ("ring",), a round letter as wide as the glyph.
GLYPHS = {
    "O": (0.86, [("ring",)]),
    "R": (0.62, [("line", (0, 1), (0, 0), (0.33, 0)), ("arc", 0.33, 0.26, 0.26, -90, 90),
                 ("line", (0.33, 0.52), (0, 0.52)), ("line", (0.28, 0.52), (0.62, 1))]),
    "V": (0.80, [("line", (0, 0), (0.40, 1), (0.80, 0))]),
    "I": (0.00, [("line", (0, 0), (0, 1))]),
    "+": (0.62, [("line", (0, 0.5), (0.62, 0.5)), ("line", (0.31, 0.19), (0.31, 0.81))]),
    "B": (0.60, [("line", (0.30, 0), (0, 0), (0, 1), (0.32, 1)), ("arc", 0.30, 0.24, 0.24, -90, 90),
                 ("line", (0, 0.48), (0.32, 0.48)), ("arc", 0.32, 0.74, 0.26, -90, 90)]),
    "E": (0.50, [("line", (0.50, 0), (0, 0), (0, 1), (0.50, 1)), ("line", (0, 0.5), (0.42, 0.5))]),
    "A": (0.80, [("line", (0, 1), (0.40, 0), (0.80, 1)), ("line", (0.16, 0.62), (0.64, 0.62))]),
    "N": (0.70, [("line", (0, 1), (0, 0), (0.70, 1), (0.70, 0))]),
    "T": (0.70, [("line", (0, 0), (0.70, 0)), ("line", (0.35, 0), (0.35, 1))]),
}


def text_width(text, height, weight, spacing):
    widths = [GLYPHS[c][0] * height + weight for c in text]
    return sum(widths) + spacing * height * (len(text) - 1)


def draw_text(canvas, text, left, top, height, weight, paint, spacing=0.28):
    """Draws text whose ink starts at left and whose cap height spans top..top+height."""
    half = weight / 2.0
    x = left + half
    for char in text:
        advance, strokes = GLYPHS[char]
        parts = []
        for stroke in strokes:
            kind = stroke[0]
            if kind == "line":
                points = [(x + px * height, top + half + py * (height - weight)) for px, py in stroke[1:]]
                for (ax, ay), (bx, by) in zip(points, points[1:]):
                    parts.append(lambda px_, py_, ax=ax, ay=ay, bx=bx, by=by: segment_distance(px_, py_, ax, ay, bx, by))
            elif kind == "arc":
                _, cx, cy, r, start, end = stroke
                scale_y = (height - weight)
                acx, acy, ar = x + cx * height, top + half + cy * scale_y, r * scale_y
                parts.append(lambda px_, py_, acx=acx, acy=acy, ar=ar, s=math.radians(start), e=math.radians(end):
                             arc_distance(px_, py_, acx, acy, ar, s, e))
            else:
                ring_width, ring_height = advance * height, height - weight
                ring_distance, _ = rounded_box(x, top + half, x + ring_width, top + height - half,
                                               min(ring_width, ring_height) / 2.0)
                parts.append(lambda px_, py_, d=ring_distance: abs(d(px_, py_)))
        bounds = (x - half, top, x + advance * height + half, top + height)
        canvas.draw(lambda px_, py_, parts=parts: min(p(px_, py_) for p in parts) - half, bounds, paint)
        x += advance * height + weight + spacing * height


# ---------------------------------------------------------------- drawings

def draw_keys(canvas, x0, x1, top, bottom, count, white, black):
    key_width = (x1 - x0) / count
    for k in range(count):
        left = x0 + k * key_width
        canvas.draw(*rounded_box(left + 1.5, top, left + key_width - 1.5, bottom, 4), solid(white))
    black_bottom = top + (bottom - top) * 0.6
    for k in range(count - 1):
        if k % 7 in (2, 6):  # no black key between E-F and B-C
            continue
        centre = x0 + (k + 1) * key_width
        canvas.draw(*rounded_box(centre - key_width * 0.32, top - 2, centre + key_width * 0.32, black_bottom, 3),
                    solid(black))


def draw_device(path, name, accent, body_top, body_bottom, knob_count, key_count):
    canvas = Canvas(900, 600)
    left, right, top, bottom = 130, 870, 305, 585

    # Soft shadow under the instrument, partly outside the shown band.
    for step in range(6):
        spread = 6 + step * 5
        canvas.draw(*rounded_box(left + 10 - spread, bottom - 20, right - 10 + spread, bottom + 12 + spread, 30),
                    solid((0, 0, 0, 0.06)))

    body = rounded_box(left, top, right, bottom, 34)
    canvas.draw(*body, vertical_gradient(body_top, body_bottom, top, bottom))
    canvas.draw(*outline(body, 3), solid(rgba("#c9ced6", 0.85)))

    # Accent strip along the top edge.
    canvas.draw(*rounded_box(left + 40, top + 14, right - 40, top + 22, 4), solid(accent))

    # The model name, large and light, centred over the keyboard.
    height, weight = 96, 17
    width = text_width(name, height, weight, 0.28)
    plain = name.rstrip("+")
    draw_text(canvas, plain, (1000 - width) / 2.0, top + 42, height, weight, solid(rgba("#f4f6f8")))
    if name.endswith("+"):
        plus_left = (1000 - width) / 2.0 + text_width(plain, height, weight, 0.28) + 0.28 * height
        draw_text(canvas, "+", plus_left, top + 42, height, weight, solid(accent))

    # Knobs on both sides of the name.
    for side in (-1, 1):
        for k in range(knob_count):
            cx = 500 + side * (336 - k * 48)
            cy = top + 90
            canvas.draw(*circle(cx, cy, 17), solid(rgba("#15171b")))
            canvas.draw(*outline(circle(cx, cy, 17), 3), solid(rgba("#8d939c")))
            canvas.draw(lambda x, y, cx=cx, cy=cy: segment_distance(x, y, cx, cy, cx + 9, cy - 13) - 2.5,
                        (cx - 12, cy - 16, cx + 12, cy + 3), solid(accent))

    draw_keys(canvas, left + 34, right - 34, top + 172, bottom - 22, key_count,
              rgba("#eef0f2"), rgba("#1a1c20"))
    canvas.write_indexed_png(path)


def draw_icon(path):
    canvas = Canvas(256, 256)
    tile = rounded_box(8, 8, 248, 248, 52)
    canvas.draw(*tile, vertical_gradient(rgba("#8e1b24"), rgba("#3b070c"), 8, 248))
    canvas.draw(*outline(tile, 2), solid(rgba("#ffffff", 0.25)))

    # Circular "update" arrow.
    cx, cy, r, w = 128, 96, 50, 16
    start, end = math.radians(-60), math.radians(220)
    canvas.draw(lambda x, y: arc_distance(x, y, cx, cy, r, start, end) - w / 2.0,
                (cx - r - w, cy - r - w, cx + r + w, cy + r + w), solid(rgba("#ffffff")))
    tip_angle = start
    ex, ey = cx + r * math.cos(tip_angle), cy + r * math.sin(tip_angle)
    # Arrow head pointing along the arc's direction at its start (counter-clockwise travel).
    tx, ty = math.sin(tip_angle), -math.cos(tip_angle)
    nx, ny = math.cos(tip_angle), math.sin(tip_angle)
    head = [(ex + tx * 24, ey + ty * 24), (ex + nx * 22 - tx * 6, ey + ny * 22 - ty * 6),
            (ex - nx * 22 - tx * 6, ey - ny * 22 - ty * 6)]
    canvas.draw(*convex_polygon(head), solid(rgba("#ffffff")))

    draw_keys(canvas, 44, 212, 168, 222, 7, rgba("#ffffff"), rgba("#2a0307"))
    canvas.write_png(path)


def draw_maker_logo(path):
    height, weight, spacing = 84, 15, 0.30
    width = text_width("BREVANTO", height, weight, spacing)
    canvas_width = int(math.ceil(width)) + 40
    canvas = Canvas(canvas_width, 250)
    light = rgba("#f2f2f2")

    # Emblem: a ring around a stylised sound wave, above the word.
    cx, cy = canvas_width / 2.0, 68
    canvas.draw(*outline(circle(cx, cy, 52), 10), solid(light))
    for i, amplitude in enumerate((14, 30, 40, 30, 14)):
        x = cx + (i - 2) * 17
        canvas.draw(lambda px, py, x=x, a=amplitude: segment_distance(px, py, x, cy - a / 2.0, x, cy + a / 2.0) - 5,
                    (x - 6, cy - amplitude / 2.0 - 6, x + 6, cy + amplitude / 2.0 + 6), solid(light))

    draw_text(canvas, "BREVANTO", 20, 146, height, weight, solid(light), spacing)
    canvas.write_indexed_png(path)


def main():
    draw_icon(os.path.join(HERE, "updater_icon_256.png"))
    draw_device(os.path.join(HERE, "orvi_logo_orig.png"), "ORVI", rgba("#3fc1c9"),
                rgba("#4a5059"), rgba("#22262c"), knob_count=1, key_count=19)
    draw_device(os.path.join(HERE, "orvi_logo_plus.png"), "ORVI+", rgba("#ffb02e"),
                rgba("#3a2f34"), rgba("#17131a"), knob_count=2, key_count=22)
    draw_maker_logo(os.path.join(HERE, "brevanto_logo.png"))


if __name__ == "__main__":
    main()
