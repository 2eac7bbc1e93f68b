#!/usr/bin/env python3
"""Writes bitmap font fixtures and their expected measurements and drawings.

Usage: font_fixtures.py OUTDIR

OUTDIR receives contents files (*.font) with their size files and
cases.txt, one case a line:
  measure FONT SIZE HEXTEXT width height left top right bottom
  draw FONT SIZE HEXTEXT X Y W H   then H lines of '#' (set) and '.' per pixel
  cdraw FONT SIZE HEXTEXT X Y W H  then H lines of W six-digit colours or
                                   '------' (pixel left alone)
  fail FONT SIZE
The expectations come from this script's own model of the file layout
(pointers count from offset 32) and of measuring and drawing; the topaz
cases read Lat15-VGA8.psf.gz through its Unicode table.
"""
import gzip
import os
import random
import struct
import sys

OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
cases = []


def contents(name, entries, ident=0x0F00):
    data = struct.pack(">HH", ident, len(entries))
    for fname, height in entries:
        data += fname.encode().ljust(256, b"\0") + struct.pack(">HH", height, 0)
    open(os.path.join(OUT, name + ".font"), "wb").write(data)


class Font:
    """A size file's contents and the model that measures and draws it."""

    def __init__(self, height, baseline, first, last, widths, cell, flags=0, spacing=None,
                 kerning=None, seed=1, depth=None, palette=None):
        self.height, self.baseline, self.first, self.last = height, baseline, first, last
        self.count = last - first + 2
        self.widths, self.cell, self.flags = widths, cell, flags
        self.spacing, self.kerning = spacing, kerning
        self.depth, self.palette = depth, palette
        rnd = random.Random(seed)
        self.offsets = []
        x = 0
        for w in widths:
            self.offsets.append(x)
            x += w
        self.modulo = (x + 15) // 16 * 2 or 2
        planes = depth if depth is not None else 1
        # bits[p][row][x]
        self.bits = [[[rnd.random() < 0.5 for _ in range(self.modulo * 8)] for _ in range(height)]
                     for _ in range(planes)]

    def strip_bytes(self, plane):
        out = bytearray()
        for row in self.bits[plane]:
            for b in range(self.modulo):
                v = 0
                for k in range(8):
                    if row[b * 8 + k]:
                        v |= 0x80 >> k
                out.append(v)
        return bytes(out)

    def file(self, patch=None):
        colour = self.depth is not None
        head = 186 if colour else 142
        body = bytearray()

        def put(data):
            at = head + len(body)
            body.extend(data)
            return at - 32

        fields = {}
        if not colour:
            fields["strip"] = put(self.strip_bytes(0))
        fields["loc"] = put(b"".join(struct.pack(">HH", o, w) for o, w in zip(self.offsets, self.widths)))
        fields["spacing"] = put(b"".join(struct.pack(">h", v) for v in self.spacing)) if self.spacing else 0
        fields["kerning"] = put(b"".join(struct.pack(">h", v) for v in self.kerning)) if self.kerning else 0
        if colour:
            cols = put(b"".join(struct.pack(">H", c) for c in self.palette))
            fields["crec"] = put(struct.pack(">HHI", 0, len(self.palette), cols))
            fields["planes"] = [put(self.strip_bytes(p)) for p in range(self.depth)]
        if patch:
            patch(fields)
        h = bytearray(head)
        struct.pack_into(">H", h, 50, 0x0F80)
        struct.pack_into(">hBBHHHH", h, 110, fields.get("height", self.height),
                         64 if colour else 0, self.flags, self.cell, self.baseline, 1, 0)
        struct.pack_into(">BB", h, 122, self.first, fields.get("last", self.last))
        struct.pack_into(">IHIII", h, 124, fields.get("strip", 0), fields.get("modulo", self.modulo),
                         fields["loc"], fields["spacing"], fields["kerning"])
        if colour:
            struct.pack_into(">HBBBBBBI", h, 142, 0, fields.get("depth", self.depth), 1, 0, 0,
                             (1 << self.depth) - 1, 0, fields["crec"])
            for i, p in enumerate(fields["planes"]):
                struct.pack_into(">I", h, 154 + 4 * i, p)
        return bytes(h) + bytes(body)

    def glyph(self, c):
        return c - self.first if self.first <= c <= self.last else self.count - 1

    def measure(self, text):
        if not (self.flags & 32) and not self.spacing and not self.kerning:
            w = len(text) * self.cell
            return [w, self.height, 0, -self.baseline, w - 1, self.height - 1 - self.baseline]
        pen = lo = hi = 0
        for c in text:
            g = self.glyph(c)
            k = self.kerning[g] if self.kerning else 0
            s = self.spacing[g] if self.spacing else 0
            start = pen + k
            for v in (start, start + self.widths[g], start + s):
                lo, hi = min(lo, v), max(hi, v)
            pen = start + s
        return [pen, self.height, lo, -self.baseline, hi - 1, self.height - 1 - self.baseline]

    def draw(self, text, x, y, w, h):
        """Pixels set: {(x, y): value}, value 1 for monochrome, else a colour."""
        out = {}
        pen = x
        for c in text:
            g = self.glyph(c)
            if self.kerning:
                pen += self.kerning[g]
            for row in range(self.height):
                for col in range(self.widths[g]):
                    tx, ty = pen + col, y + row
                    if not (0 <= tx < w and 0 <= ty < h):
                        continue
                    sx = self.offsets[g] + col
                    if self.depth is None:
                        if self.bits[0][row][sx]:
                            out[(tx, ty)] = 1
                    else:
                        idx = sum(1 << p for p in range(self.depth) if self.bits[p][row][sx])
                        if idx == 0:
                            continue
                        v = self.palette[idx]
                        out[(tx, ty)] = ((v >> 8 & 15) * 17) << 16 | ((v >> 4 & 15) * 17) << 8 | (v & 15) * 17
            pen += self.spacing[g] if self.spacing else self.cell
        return out


def write_font(name, height, font, entries=None, patch=None):
    os.makedirs(os.path.join(OUT, name), exist_ok=True)
    open(os.path.join(OUT, name, str(height)), "wb").write(font.file(patch))
    contents(name, entries or [(name + "/" + str(height), height)])


def draw_case(kind, name, size, font, text, x, y, w, h):
    px = font.draw(text, x, y, w, h)
    cases.append("%s %s %d %s %d %d %d %d" % (kind, name, size, text.hex(), x, y, w, h))
    for row in range(h):
        if kind == "draw":
            cases.append("".join("#" if (col, row) in px else "." for col in range(w)))
        else:
            cases.append(" ".join("%06x" % px[(col, row)] if (col, row) in px else "------"
                                  for col in range(w)))


def measure_case(name, size, font, text):
    cases.append("measure %s %d %s %s" % (name, size, text.hex() or "-",
                                          " ".join(str(v) for v in font.measure(text))))


# Fixed width: no proportional flag, no tables.
fixed = Font(8, 6, 65, 70, [6] * 7, 6, seed=2)
write_font("fixed", 8, fixed, entries=[("fixed/8", 8), ("fixed/8", 9)])
for t in [b"ABC", b"", b"A\x01Z~F"]:
    measure_case("fixed", 8, fixed, t)
draw_case("draw", "fixed", 8, fixed, b"ABCDEFz", 1, 1, 48, 10)
draw_case("draw", "fixed", 8, fixed, b"FED", -3, -2, 12, 7)   # clipped at every edge

# Proportional with spacing and kerning; an "::incomplete" entry of the same
# height comes first and must be skipped.
widths = [3, 7, 0, 5, 9, 4]
prop = Font(10, 7, 97, 101, widths, 8, flags=32, spacing=[4, 8, 3, 6, 7, 5],
            kerning=[0, -1, 2, -3, 1, 0], seed=3)
write_font("prop", 10, prop, entries=[("::incomplete", 10), ("prop/10", 10)])
for t in [b"abcde", b"d", b"ee", b"a\xffb"]:
    measure_case("prop", 10, prop, t)
draw_case("draw", "prop", 10, prop, b"abcdeXd", 2, 1, 50, 12)
draw_case("draw", "prop", 10, prop, b"edcba", 30, 3, 36, 9)  # runs off the right and bottom

# Colour, depth 2: index 0 is transparent.
colour = Font(6, 4, 48, 50, [5, 6, 4, 3], 6, flags=32, spacing=[6, 7, 5, 4], seed=4, depth=2,
              palette=[0x000, 0xF00, 0x0A5, 0x39C])
write_font("colour", 6, colour)
draw_case("cdraw", "colour", 6, colour, b"012x1", 1, 1, 30, 8)
draw_case("cdraw", "colour", 6, colour, b"21", -2, -1, 9, 4)

# Refused: a 0x0F03 contents file, no entry of the size, malformed size files.
contents("scal", [("scal/8", 8)], ident=0x0F03)
os.makedirs(os.path.join(OUT, "scal"), exist_ok=True)
open(os.path.join(OUT, "scal", "8"), "wb").write(fixed.file())
cases.append("fail scal 8")
cases.append("fail fixed 7")


def bad(name, font, patch=None, cut=None, height=8):
    data = font.file(patch)
    if cut is not None:
        data = data[:cut]
    os.makedirs(os.path.join(OUT, name), exist_ok=True)
    open(os.path.join(OUT, name, str(height)), "wb").write(data)
    contents(name, [(name + "/" + str(height), height)])
    cases.append("fail %s %d" % (name, height))


bad("badheight", fixed, lambda f: f.update(height=0))
bad("badrange", fixed, lambda f: f.update(last=60))
bad("badmodulo", fixed, lambda f: f.update(modulo=0x4000))           # strip past the file
bad("badstrip", fixed, lambda f: f.update(strip=0x7FFFFFF0))         # pointer past the file
bad("badloc", fixed, lambda f: f.update(loc=len(fixed.file()) - 40))  # table runs past the end
bad("badcut", fixed, cut=120)                                         # header cut short
wide = Font(8, 6, 65, 66, [6, 40, 6], 6, seed=5)
wide.modulo = 2                                                      # glyph past the strip
bad("badglyph", wide)
bad("baddepth", colour, lambda f: f.update(depth=9), height=6)
few = Font(6, 4, 48, 50, [5, 6, 4, 3], 6, flags=32, spacing=[6, 7, 5, 4], seed=4, depth=2,
           palette=[0x000, 0xF00])                                   # indexes 2 and 3 past the count
bad("badpalette", few, height=6)

# topaz against the console font, read here through its Unicode table.
def read_psf(path):
    data = gzip.open(path).read()
    umap = {}
    if data[:2] == b"\x36\x04":
        mode, size = data[2], data[3]
        count = 512 if mode & 1 else 256
        glyphs = [data[4 + i * size:4 + (i + 1) * size] for i in range(count)]
        pos = 4 + count * size
        for i in range(count):
            while True:
                (u,) = struct.unpack_from("<H", data, pos)
                pos += 2
                if u == 0xFFFF:
                    break
                if u != 0xFFFE:
                    umap.setdefault(u, i)
        return glyphs, umap
    magic, _, header, flags, count, size, height, width = struct.unpack_from("<8I", data)
    glyphs = [data[header + i * size:header + (i + 1) * size] for i in range(count)]
    pos = header + count * size
    for i in range(count):
        seq = b""
        while data[pos] != 0xFF:
            seq += data[pos:pos + 1]
            pos += 1
        pos += 1
        for part in seq.split(b"\xfe")[:1]:
            for ch in part.decode("utf-8"):
                umap.setdefault(ord(ch), i)
    return glyphs, umap


glyphs, umap = read_psf("/usr/share/consolefonts/Lat15-VGA8.psf.gz")
fallback = glyphs[umap[0xFFFD]]
for code in list(range(32, 127)) + list(range(160, 256)) + [1]:
    g = glyphs[umap[code]] if (code in umap and code >= 32) else fallback
    cases.append("draw topaz 8 %02x 0 0 8 8" % code)
    for row in range(8):
        cases.append("".join("#" if g[row] & (0x80 >> k) else "." for k in range(8)))
for code in range(128, 160):
    cases.append("draw topaz 8 %02x 0 0 8 8" % code)
    for row in range(8):
        cases.append("".join("#" if fallback[row] & (0x80 >> k) else "." for k in range(8)))

open(os.path.join(OUT, "cases.txt"), "w").write("\n".join(cases) + "\n")
