#!/usr/bin/env python3
"""Collection and resource-file fixtures built from DejaVu faces.

Usage: collection_fixtures.py OUTDIR
  OUTDIR/ttc/pair.ttc      DejaVuSans.ttf and DejaVuSerif.ttf as a collection
  OUTDIR/dfont/pair.dfont  the same two faces as a resource file
  OUTDIR/bad/...           truncated collections and name tables
Also: collection_fixtures.py --same-tables A B  exits 0 when font files A
and B hold the same tables (tag and bytes).
"""
import os
import struct
import sys

DEJAVU = "/usr/share/fonts/truetype/dejavu/"


def tables(data, directory=0):
    n = struct.unpack_from(">H", data, directory + 4)[0]
    out = {}
    for i in range(n):
        tag, _, off, length = struct.unpack_from(">4sIII", data, directory + 12 + 16 * i)
        out[tag] = data[off:off + length]
    return out


if sys.argv[1] == "--same-tables":
    a, b = (open(p, "rb").read() for p in sys.argv[2:4])
    sys.exit(0 if tables(a) == tables(b) else 1)

OUT = sys.argv[1]
faces = [open(DEJAVU + f, "rb").read() for f in ("DejaVuSans.ttf", "DejaVuSerif.ttf")]


def collection(faces):
    head = 12 + 4 * len(faces)
    out = bytearray(b"ttcf" + struct.pack(">II", 0x00010000, len(faces)) + bytes(4 * len(faces)))
    for i, face in enumerate(faces):
        while len(out) % 4:
            out.append(0)
        directory = len(out)
        struct.pack_into(">I", out, 12 + 4 * i, directory)
        n = struct.unpack_from(">H", face, 4)[0]
        dirbytes = bytearray(face[:12 + 16 * n])
        out.extend(dirbytes)
        for t in range(n):
            tag, _, off, length = struct.unpack_from(">4sIII", face, 12 + 16 * t)
            while len(out) % 4:
                out.append(0)
            struct.pack_into(">I", out, directory + 12 + 16 * t + 8, len(out))
            out.extend(face[off:off + length])
    assert head <= len(out)
    return bytes(out)


def resource(faces):
    out = bytearray(256)
    for f in faces:
        out += struct.pack(">I", len(f)) + f
    return bytes(out)


for d in ("ttc", "dfont", "bad"):
    os.makedirs(os.path.join(OUT, d), exist_ok=True)
ttc = collection(faces)
open(os.path.join(OUT, "ttc", "pair.ttc"), "wb").write(ttc)
open(os.path.join(OUT, "dfont", "pair.dfont"), "wb").write(resource(faces))

# Truncated: the face offsets, a face's table directory, the name table.
open(os.path.join(OUT, "bad", "offsets.ttc"), "wb").write(ttc[:14])
open(os.path.join(OUT, "bad", "directory.ttc"), "wb").write(ttc[:struct.unpack_from(">I", ttc, 12)[0] + 40])
huge = bytearray(ttc[:64])
struct.pack_into(">I", huge, 8, 0x7FFFFFFF)  # a face count far past the file
open(os.path.join(OUT, "bad", "count.ttc"), "wb").write(bytes(huge))
sans = faces[0]
n = struct.unpack_from(">H", sans, 4)[0]
for t in range(n):
    tag, _, off, length = struct.unpack_from(">4sIII", sans, 12 + 16 * t)
    if tag == b"name":
        cut = bytearray(sans[:off + 20])
        open(os.path.join(OUT, "bad", "namecut.ttf"), "wb").write(bytes(cut))
        big = bytearray(sans)
        struct.pack_into(">H", big, off + 2, 0xFFFF)  # a record count past the table
        open(os.path.join(OUT, "bad", "namecount.ttf"), "wb").write(bytes(big))
open(os.path.join(OUT, "bad", "cut.dfont"), "wb").write(resource(faces)[:300])
