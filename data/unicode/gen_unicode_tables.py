#!/usr/bin/python3
"""Writes the character tables of the runtime's Unicode layer and the test
fixtures that check them.

Run at development time only, with Debian's python3 (it needs python3-icu
and the unicode-data package); its output is committed, so building the
player needs neither:

    /usr/bin/python3 data/unicode/gen_unicode_tables.py

Outputs, relative to the repository root:
  platform/linux/unicode_tables.cpp              class, case, Latin-1 and
                                                 collation tables
  tests/runtime/fixtures/casefold_bmp.txt        simple case foldings of the
                                                 Basic Multilingual Plane
  tests/runtime/fixtures/utf8_random.txt         random byte strings with
                                                 python3's strict UTF-8 verdict

Range tables hold rows {first, last, stride}: c is in a row when
first <= c <= last and (c - first) % stride == 0. Rows are sorted and their
[first, last] intervals never overlap, so one binary search finds the only
row that can hold c. Case tables add a signed delta: c maps to c + delta.
"""

import os
import random
import sys

import icu

UCD = "/usr/share/unicode"
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Code points 0..COLLATE_SIZE-1 (Basic Latin to Latin Extended-B) have
# collation table entries; platform/linux/unicode_tables.h says the same
# (kCollateSize).
COLLATE_SIZE = 592


def unicode_version():
    """The version named in the first line of CaseFolding.txt."""
    with open(os.path.join(UCD, "CaseFolding.txt"), encoding="utf-8") as f:
        first = f.readline()
    return first.split("CaseFolding-")[1].split(".txt")[0]


def read_unicode_data():
    """Returns {code point: fields} with the First/Last ranges expanded."""
    data = {}
    pending = None
    with open(os.path.join(UCD, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            name = fields[1]
            if name.endswith(", First>"):
                pending = cp
                continue
            if name.endswith(", Last>"):
                for c in range(pending, cp + 1):
                    data[c] = fields
                pending = None
                continue
            data[cp] = fields
    return data


def read_prop_list(prop):
    points = set()
    with open(os.path.join(UCD, "PropList.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#")[0].strip()
            if not line:
                continue
            rng, name = [s.strip() for s in line.split(";")]
            if name != prop:
                continue
            if ".." in rng:
                a, b = [int(x, 16) for x in rng.split("..")]
            else:
                a = b = int(rng, 16)
            points.update(range(a, b + 1))
    return points


def read_case_folding():
    """Simple case folding: statuses C (common) and S (simple)."""
    fold = {}
    with open(os.path.join(UCD, "CaseFolding.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#")[0].strip()
            if not line:
                continue
            code, status, mapping = [s.strip() for s in line.split(";")[:3]]
            if status in ("C", "S"):
                fold[int(code, 16)] = int(mapping, 16)
    return fold


def compress(points, value=None):
    """Packs sorted code points into {first, last, stride} rows.

    With value given, only points of equal value share a row. A row with a
    stride above 1 never takes the first point of a run of consecutive
    points: that run gets a stride-1 row of its own.
    """
    pts = sorted(points)
    val = value or (lambda c: 0)
    rows = []
    i = 0
    n = len(pts)

    def starts_run(j):
        return j + 1 < n and pts[j + 1] == pts[j] + 1 and val(pts[j + 1]) == val(pts[j])

    while i < n:
        first = pts[i]
        last = first
        stride = 1
        j = i + 1
        if j < n and val(pts[j]) == val(first):
            s = pts[j] - first
            if s == 1 or not starts_run(j):
                stride = s
                last = pts[j]
                j += 1
                while j < n and pts[j] - last == stride and val(pts[j]) == val(first):
                    if stride != 1 and starts_run(j):
                        break
                    last = pts[j]
                    j += 1
        rows.append((first, last, stride, val(first)))
        i = j
    return rows


def check_rows(rows, points, value=None):
    """The rows hold exactly the points (with their values), sorted and
    with disjoint intervals, as the run-time binary search assumes."""
    held = {}
    prev_last = -1
    for first, last, stride, v in rows:
        assert first > prev_last and last >= first and stride >= 1, (first, last, stride)
        prev_last = last
        for c in range(first, last + 1, stride):
            held[c] = v
    assert set(held) == set(points)
    if value:
        assert all(held[c] == value(c) for c in held)


def class_points(data, cats):
    return {c for c, f in data.items() if f[2] in cats or f[2][0] in cats}


def collation_table(strength):
    coll = icu.Collator.createInstance(icu.Locale.getRoot())
    coll.setStrength(strength)
    keys = [coll.getSortKey(chr(c)) if not 0xD800 <= c <= 0xDFFF else b"" for c in range(COLLATE_SIZE)]
    table = bytearray(COLLATE_SIZE * COLLATE_SIZE)
    for a in range(COLLATE_SIZE):
        ka = keys[a]
        base = a * COLLATE_SIZE
        for b in range(COLLATE_SIZE):
            kb = keys[b]
            table[base + b] = 1 if ka < kb else (2 if ka == kb else 3)
    return table


def emit_ranges(out, name, points):
    rows = compress(points)
    check_rows(rows, points)
    out.append("const UnicodeRange %s[] = {" % name)
    for first, last, stride, _ in rows:
        out.append("    {0x%X, 0x%X, %d}," % (first, last, stride))
    out.append("};")
    out.append("const size_t %sCount = %d;" % (name, len(rows)))
    out.append("")


def emit_case(out, name, mapping):
    rows = compress(mapping.keys(), lambda c: mapping[c] - c)
    check_rows(rows, mapping.keys(), lambda c: mapping[c] - c)
    out.append("const UnicodeCaseRange %s[] = {" % name)
    for first, last, stride, delta in rows:
        out.append("    {0x%X, 0x%X, %d, %d}," % (first, last, stride, delta))
    out.append("};")
    out.append("const size_t %sCount = %d;" % (name, len(rows)))
    out.append("")
    return rows


def emit_bytes(out, name, values, per_line=16, fmt="%d"):
    out.append("const uint8_t %s[%d] = {" % (name, len(values)))
    for i in range(0, len(values), per_line):
        out.append("    " + ",".join(fmt % v for v in values[i:i + per_line]) + ",")
    out.append("};")
    out.append("")


def write_tables(data, fold):
    lower = {}
    upper = {}
    title = {}
    for c, f in data.items():
        if f[12]:
            upper[c] = int(f[12], 16)
        if f[13]:
            lower[c] = int(f[13], 16)
        t = f[14] or f[12]
        if t:
            title[c] = int(t, 16)
    upper = {c: m for c, m in upper.items() if m != c}
    lower = {c: m for c, m in lower.items() if m != c}
    title = {c: m for c, m in title.items() if m != c}

    letters = class_points(data, {"L"})
    marks = class_points(data, {"M"})
    numbers = class_points(data, {"N"})
    white = read_prop_list("White_Space")
    classes = [
        ("kUnicodeAlpha", letters),
        ("kUnicodeLower", class_points(data, {"Ll"})),
        ("kUnicodeUpper", class_points(data, {"Lu"})),
        ("kUnicodeCntrl", class_points(data, {"Cc", "Cf", "Cs", "Co"})),
        ("kUnicodeDigit", class_points(data, {"Nd"})),
        ("kUnicodeXDigit", read_prop_list("Hex_Digit")),
        # Punctuation with the currency, modifier and math symbols, so that
        # the ASCII punctuation is that of the C library.
        ("kUnicodePunct", class_points(data, {"P", "Sc", "Sk", "Sm"})),
        ("kUnicodeSpace", white),
        ("kUnicodeGraph", class_points(data, {"L", "N", "P", "S"}) - white),
        ("kUnicodeMark", marks),
        ("kUnicodeNumber", numbers),
    ]

    out = []
    out.append("// Generated by data/unicode/gen_unicode_tables.py from Unicode %s" % unicode_version())
    out.append("// (Debian's unicode-data) and the root collation of ICU %s. Do not edit:" % icu.ICU_VERSION)
    out.append("// run the generator again. Range rows are sorted with disjoint")
    out.append("// [first, last] intervals, so one binary search finds the only candidate.")
    out.append("// clang-format off")
    out.append("#include \"platform/linux/unicode_tables.h\"")
    out.append("")
    for name, pts in classes:
        emit_ranges(out, name + "Ranges", pts)
    emit_case(out, "kUnicodeToLower", lower)
    emit_case(out, "kUnicodeToUpper", upper)
    emit_case(out, "kUnicodeToTitle", title)
    emit_case(out, "kUnicodeFold", fold)

    # Latin-1 tables, indexed by the byte (byte value = code point).
    lat_lower = [lower.get(c, c) if lower.get(c, c) < 256 else c for c in range(256)]
    lat_upper = [upper.get(c, c) if upper.get(c, c) < 256 else c for c in range(256)]
    lat_print = [1 if 0x21 <= c <= 0x7E or 0xA1 <= c <= 0xFF else 0 for c in range(256)]
    # Letters: A-Z, a-z and 0xC0-0xFF except the division sign 0xF7.
    lat_alpha = [1 if (0x41 <= c <= 0x5A or 0x61 <= c <= 0x7A or (c >= 0xC0 and c != 0xF7)) else 0
                 for c in range(256)]
    lower_prop = class_points(data, {"Ll"}) | read_prop_list("Other_Lowercase")
    lat_islower = [1 if c in lower_prop else 0 for c in range(256)]
    lat_isupper = [1 if c in class_points(data, {"Lu"}) else 0 for c in range(256)]
    emit_bytes(out, "kLatin1ToLower", lat_lower, 16, "0x%02X")
    emit_bytes(out, "kLatin1ToUpper", lat_upper, 16, "0x%02X")
    emit_bytes(out, "kLatin1IsPrint", lat_print, 32)
    emit_bytes(out, "kLatin1IsAlpha", lat_alpha, 32)
    emit_bytes(out, "kLatin1IsLower", lat_islower, 32)
    emit_bytes(out, "kLatin1IsUpper", lat_isupper, 32)

    # Collation: entry [a * size + b] is 1 when a sorts before b, 2 on a tie,
    # 3 after. Case-sensitive ties only identical characters; case-less
    # ignores case but keeps accents (secondary strength).
    emit_bytes(out, "kCollateCaseTable", collation_table(icu.Collator.IDENTICAL), 74)
    emit_bytes(out, "kCollateNoCaseTable", collation_table(icu.Collator.SECONDARY), 74)

    with open(os.path.join(ROOT, "platform", "linux", "unicode_tables.cpp"), "w") as f:
        f.write("\n".join(out).rstrip("\n") + "\n")


def write_casefold_fixture(fold):
    path = os.path.join(ROOT, "tests", "runtime", "fixtures", "casefold_bmp.txt")
    with open(path, "w") as f:
        f.write("# Simple case foldings (CaseFolding.txt statuses C and S) of the Basic\n")
        f.write("# Multilingual Plane, Unicode %s: code point, folded code point.\n" % unicode_version())
        for c in sorted(fold):
            if c <= 0xFFFF and fold[c] <= 0xFFFF:
                f.write("%04X %04X\n" % (c, fold[c]))


def write_utf8_fixture():
    """Byte strings built from valid characters, boundary lead and
    continuation bytes and random bytes, each with python3's strict
    decoder's verdict (1 valid, 0 invalid) and character count."""
    rng = random.Random(20261209)
    special = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
               0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7,
               0xF8, 0xFB, 0xFC, 0xFE, 0xFF]
    valid_points = [0x41, 0x7F, 0x80, 0x7FF, 0x800, 0xFFF, 0x1000, 0xD7FF, 0xE000, 0xFFFD,
                    0xFFFF, 0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000, 0x10FFFF]
    path = os.path.join(ROOT, "tests", "runtime", "fixtures", "utf8_random.txt")
    with open(path, "w") as f:
        f.write("# Random byte strings (hex), python3's strict UTF-8 verdict (1 valid,\n")
        f.write("# 0 invalid) and the number of characters of a valid string.\n")
        for _ in range(4000):
            parts = bytearray()
            for _ in range(rng.randint(0, 6)):
                kind = rng.random()
                if kind < 0.35:
                    cp = rng.choice(valid_points) if rng.random() < 0.5 else rng.randint(0, 0x10FFFF)
                    if 0xD800 <= cp <= 0xDFFF:
                        cp = 0xFFFD
                    enc = chr(cp).encode("utf-8")
                    if rng.random() < 0.15:
                        enc = enc[:rng.randint(0, len(enc))]
                    parts += enc
                elif kind < 0.75:
                    parts.append(rng.choice(special))
                elif kind < 0.9:
                    parts.append(rng.randint(0x80, 0xBF))
                else:
                    parts.append(rng.randint(0, 255))
            data = bytes(parts)
            try:
                text = data.decode("utf-8", errors="strict")
                f.write("%s %d %d\n" % (data.hex() or "-", 1, len(text)))
            except UnicodeDecodeError:
                f.write("%s %d %d\n" % (data.hex() or "-", 0, 0))


def main():
    data = read_unicode_data()
    fold = read_case_folding()
    write_tables(data, fold)
    write_casefold_fixture(fold)
    write_utf8_fixture()
    return 0


if __name__ == "__main__":
    sys.exit(main())
