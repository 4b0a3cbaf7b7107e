#!/usr/bin/env python3
"""Draws the 27 transport-button glyphs as 16-colour XPM images.

Each of the nine buttons has three glyphs: "EN" (black symbol), "CL" (symbol in the button's
colour) and "DI" (no symbol). All of them carry the symbol's one-pixel engraved edge: grey
along its upper and left sides, white along its lower and right sides, on an olive background.
The olive background is the transparent colour: the strip leaves out every pixel that has the
colour of the image's bottom-left pixel, so that pixel is always background.

Run from anywhere: python3 make_glyphs.py [output folder]; the default is this script's folder.
Python standard library only.
"""

import os
import sys

# The standard 16-colour palette; every glyph lists all of it.
PALETTE = [
    ("0", "#000000"),  # black
    ("1", "#800000"),  # maroon
    ("2", "#008000"),  # green
    ("3", "#808000"),  # olive: background
    ("4", "#000080"),  # navy
    ("5", "#800080"),  # purple
    ("6", "#008080"),  # teal
    ("7", "#C0C0C0"),  # silver
    ("8", "#808080"),  # grey: upper and left edge
    ("9", "#FF0000"),  # red
    ("a", "#00FF00"),  # lime (green symbols)
    ("b", "#FFFF00"),  # yellow
    ("c", "#0000FF"),  # blue
    ("d", "#FF00FF"),  # fuchsia
    ("e", "#00FFFF"),  # aqua
    ("f", "#FFFFFF"),  # white: lower and right edge
]
BACKGROUND, GREY, WHITE, BLACK = "3", "8", "f", "0"
GREEN, YELLOW, RED, BLUE = "a", "b", "9", "c"


def triangle_right(left, top, bottom):
    """Filled triangle with its base on column `left`, pointing right."""
    return {(left + i, y)
            for y in range(top, bottom + 1)
            for i in range(min(y - top, bottom - y) + 1)}


def triangle_left(right, top, bottom):
    """Filled triangle with its base on column `right`, pointing left."""
    return {(right - i, y)
            for y in range(top, bottom + 1)
            for i in range(min(y - top, bottom - y) + 1)}


def triangle_up(centre, top, bottom):
    """Filled triangle with its apex at (centre, top) and its base on row `bottom`."""
    return {(centre + dx, y)
            for y in range(top, bottom + 1)
            for dx in range(-(y - top), y - top + 1)}


def box(left, top, right, bottom):
    return {(x, y) for x in range(left, right + 1) for y in range(top, bottom + 1)}


def disc(cx, cy, radius):
    r2 = radius * radius
    return {(x, y)
            for x in range(int(cx - radius) - 1, int(cx + radius) + 2)
            for y in range(int(cy - radius) - 1, int(cy + radius) + 2)
            if (x - cx) ** 2 + (y - cy) ** 2 <= r2}


# name: (width, height, colour of the coloured glyph, symbol pixels, width of the DI glyph)
GLYPHS = {
    "MPPLAY": (17, 16, GREEN, triangle_right(5, 3, 13), 17),
    "MPPAUSE": (13, 16, YELLOW, box(2, 3, 4, 13) | box(8, 3, 10, 13), 12),
    "MPSTOP": (17, 16, RED, box(3, 3, 13, 13), 17),
    "MPNEXT": (21, 16, BLUE, triangle_right(5, 3, 13) | box(13, 3, 14, 13), 21),
    "MPPREV": (20, 16, BLUE, box(5, 3, 6, 13) | triangle_left(14, 3, 13), 20),
    "MPSTEP": (21, 16, BLUE, box(5, 3, 6, 13) | triangle_right(9, 3, 13), 21),
    "MPBACK": (21, 16, BLUE, triangle_left(10, 3, 13) | box(13, 3, 14, 13), 21),
    "MPRECORD": (13, 13, RED, disc(6, 6, 4.5), 13),
    "MPEJECT": (19, 16, BLUE, triangle_up(9, 3, 8) | box(4, 11, 14, 12), 19),
}


def edge(symbol):
    """The engraved edge around `symbol`: pixel -> GREY or WHITE."""
    result = {}
    candidates = {(x + dx, y + dy) for (x, y) in symbol
                  for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))} - symbol
    for (x, y) in candidates:
        if (x + 1, y) in symbol or (x, y + 1) in symbol:
            result[(x, y)] = GREY   # left of or above the symbol
        else:
            result[(x, y)] = WHITE  # right of or below the symbol
    return result


def render(width, height, symbol, symbol_colour):
    rows = [[BACKGROUND] * width for _ in range(height)]
    for (x, y), colour in edge(symbol).items():
        if 0 <= x < width and 0 <= y < height:
            rows[y][x] = colour
    if symbol_colour is not None:
        for (x, y) in symbol:
            rows[y][x] = symbol_colour
    return ["".join(r) for r in rows]


def check(name, width, height, symbol):
    pixels = set(symbol) | set(edge(symbol))
    outside = [p for p in pixels if not (0 <= p[0] < width and 0 <= p[1] < height)]
    if outside:
        raise SystemExit(f"{name}: symbol or edge leaves the image at {sorted(outside)[:3]}")
    if (0, height - 1) in pixels:
        raise SystemExit(f"{name}: the bottom-left pixel must stay background")


def xpm(identifier, rows):
    width, height = len(rows[0]), len(rows)
    lines = ["/* XPM */", f"static const char *{identifier}[] = {{",
             f'"{width} {height} {len(PALETTE)} 1",']
    lines += [f'"{char} c {value}",' for char, value in PALETTE]
    lines += [f'"{row}",' for row in rows[:-1]] + [f'"{rows[-1]}"', "};", ""]
    return "\n".join(lines)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, (width, height, colour, symbol, disabled_width) in GLYPHS.items():
        check(name, width, height, symbol)
        images = {
            "EN": render(width, height, symbol, BLACK),
            "CL": render(width, height, symbol, colour),
            # The disabled glyph keeps only the edge; the pause one is a column narrower.
            "DI": [row[:disabled_width] for row in render(width, height, symbol, None)],
        }
        for prefix, rows in images.items():
            identifier = f"{prefix}_{name}"
            with open(os.path.join(out, identifier + ".xpm"), "w", newline="\n") as f:
                f.write(xpm(identifier, rows))


if __name__ == "__main__":
    main()
