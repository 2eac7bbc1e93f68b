#!/usr/bin/python3
"""Reference values of the TrueType engine, computed by python3-freetype.

Usage: truetype_ref.py OUTDIR

Writes OUTDIR/truetype.txt, one record a line:
  size SIZE height baseline sizevalue w1 w2 ... (width of each prefix of TEXT)
  kern SIZE pixels                      ("AV" in Vera Sans)
  glyph SIZE MODE CODE left top width rows  then rows lines of hex bytes
        (MODE mono: one byte per pixel, 0 or 255; aa: the coverage)
The sizing follows the engine's rules: the tallest top plus the deepest
descent of codes 33-255 at 100 points gives the pixel size; the baseline
centres 'A', 'À', 'Ä' and 'q'; advances and kerning are fractions of the em
in 16.16, times the size, truncated toward zero.
"""
import os
import sys

import freetype

OUT = sys.argv[1]
VERA = "/usr/share/fonts/truetype/ttf-bitstream-vera/Vera.ttf"
TEXT = "AVAWAY To."
NO_AUTOHINT = freetype.FT_LOAD_NO_AUTOHINT
RENDER = freetype.FT_LOAD_RENDER


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


lines = []
for size in (8, 12, 16, 31, 72):
    face = freetype.Face(VERA)
    face.set_char_size(0, 6400, 72, 72)
    top = depth = 0
    for code in range(33, 256):
        idx = face.get_char_index(code)
        if not idx:
            continue
        face.load_glyph(idx, RENDER | NO_AUTOHINT)
        g = face.glyph
        top = max(top, g.bitmap_top)
        depth = max(depth, g.bitmap.rows - g.bitmap_top)
    sv = size * 100 // (top + depth)
    face.set_pixel_sizes(sv - 1, 0)
    T = D = None
    for code in (65, 192, 196, 113):
        idx = face.get_char_index(code)
        if not idx:
            continue
        face.load_glyph(idx, RENDER | NO_AUTOHINT)
        g = face.glyph
        t, d = g.bitmap_top, g.bitmap.rows - g.bitmap_top
        T = t if T is None else max(T, t)
        D = d if D is None else max(D, d)
    baseline = (T + size + 1 - D) // 2
    upem = face.units_per_EM
    ppem = face.size.x_ppem
    def width(text):
        pen = 0
        for i, ch in enumerate(text):
            face.load_glyph(face.get_char_index(ord(ch)), NO_AUTOHINT)
            em = tdiv(face.glyph.advance.x * 1024, ppem)
            if i + 1 < len(text):
                # get_kerning takes characters and looks their glyphs up itself.
                k = face.get_kerning(ch, text[i + 1], freetype.FT_KERNING_UNSCALED).x
                em += tdiv(k * 65536, upem)
            pen += tdiv(em * sv, 65536)
        return pen

    # The pen at the end of each prefix of the text.
    pens = [width(TEXT[:i + 1]) for i in range(len(TEXT))]
    lines.append("size %d %d %d %d %s" % (size, size, baseline, sv, " ".join(map(str, pens))))
    k = face.get_kerning("A", "V", freetype.FT_KERNING_UNSCALED).x
    lines.append("kern %d %d" % (size, tdiv(tdiv(k * 65536, upem) * sv, 65536)))
    for mode in ("mono", "aa"):
        for ch in "AVWy.":
            idx = face.get_char_index(ord(ch))
            face.load_glyph(idx, NO_AUTOHINT)
            face.glyph.render(freetype.FT_RENDER_MODE_MONO if mode == "mono"
                              else freetype.FT_RENDER_MODE_NORMAL)
            g = face.glyph
            b = g.bitmap
            lines.append("glyph %d %s %d %d %d %d %d" % (size, mode, ord(ch), g.bitmap_left,
                                                        g.bitmap_top, b.width, b.rows))
            for r in range(b.rows):
                row = b.buffer[r * b.pitch:(r + 1) * b.pitch]
                if mode == "mono":
                    px = [255 if row[c >> 3] & (0x80 >> (c & 7)) else 0 for c in range(b.width)]
                else:
                    px = row[:b.width]
                lines.append("".join("%02x" % v for v in px) or "-")

os.makedirs(OUT, exist_ok=True)
open(os.path.join(OUT, "truetype.txt"), "w").write("\n".join(lines) + "\n")
