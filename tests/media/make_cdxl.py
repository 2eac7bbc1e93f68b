#!/usr/bin/python3
"""Writes CDXL test files into the directory given as the only argument.

Each good file NAME.cdxl comes with NAME.rgb (every frame as rgb24, frame
after frame) and NAME.pcm (the sound as signed 16-bit little-endian, each
8-bit sample times 256). Sound bytes are never 0, so silence inserted by a
player can be told apart. Files named bad_*.cdxl must be refused.

A chunk: a 32-byte big-endian header (type 1, info, chunk size, previous
chunk size, frame number, width, height, reserved, planes, palette bytes,
sound bytes, 8 unused bytes), the palette as 0x0RGB words, the bitplanes
one after the other (rows padded to 16 bits), the sound, then fill bytes.
"""
import os
import random
import struct
import sys


def header(kind, info, chunk, prev, frame, w, h, planes, pal_bytes, snd_bytes):
    return struct.pack(">BBIIIHHBBHH8x", kind, info, chunk, prev, frame, w, h, 0, planes,
                       pal_bytes, snd_bytes)


def planar(pens, w, h, planes):
    row = ((w + 15) // 16) * 2
    out = bytearray(planes * h * row)
    for p in range(planes):
        for y in range(h):
            for x in range(w):
                if (pens[y * w + x] >> p) & 1:
                    out[(p * h + y) * row + x // 8] |= 0x80 >> (x % 8)
    return bytes(out)


def colour(c):
    return (((c >> 8) & 15) * 17, ((c >> 4) & 15) * 17, (c & 15) * 17)


def to_rgb(pens, w, h, palette, planes, ham):
    out = bytearray()
    for y in range(h):
        held = (0, 0, 0)
        for x in range(w):
            pen = pens[y * w + x]
            if not ham:
                rgb = colour(palette[pen]) if pen < len(palette) else (0, 0, 0)
            else:
                bits = 4 if planes <= 6 else 6
                control, value = pen >> bits, pen & ((1 << bits) - 1)
                # A modify pen's bits become the top bits of one component,
                # its low bits 0.
                r, g, b = held
                up = value << (8 - bits)
                if control == 0:
                    rgb = colour(palette[value]) if value < len(palette) else (0, 0, 0)
                elif control == 1:
                    rgb = (r, g, up)
                elif control == 2:
                    rgb = (up, g, b)
                else:
                    rgb = (r, up, b)
                held = rgb
            out += bytes(rgb)
    return bytes(out)


def write_good(directory, name, w, h, planes, colours, ham, sound, chunk, count, seed):
    rnd = random.Random(seed)
    pal_bytes, frames, pcm, data = colours * 2, bytearray(), bytearray(), bytearray()
    image = planes * h * ((w + 15) // 16) * 2
    fill = chunk - 32 - pal_bytes - image - sound
    assert fill >= 0, name
    for i in range(count):
        palette = [rnd.randrange(0x1000) for _ in range(colours)]
        pens = [rnd.randrange(1 << planes) for _ in range(w * h)]
        samples = bytes(rnd.choice([v for v in range(256) if v != 0]) for _ in range(sound))
        data += header(1, 1 if ham else 0, chunk, chunk if i else 0, i, w, h, planes,
                       pal_bytes, sound)
        data += b"".join(struct.pack(">H", c) for c in palette)
        data += planar(pens, w, h, planes) + samples + bytes(fill)
        frames += to_rgb(pens, w, h, palette, planes, ham)
        pcm += b"".join(struct.pack("<h", (s - 256 if s > 127 else s) * 256) for s in samples)
    base = os.path.join(directory, name)
    with open(base + ".cdxl", "wb") as f:
        f.write(data)
    with open(base + ".rgb", "wb") as f:
        f.write(frames)
    with open(base + ".pcm", "wb") as f:
        f.write(pcm)


def write_bad(directory, name, chunks):
    with open(os.path.join(directory, "bad_" + name + ".cdxl"), "wb") as f:
        for c in chunks:
            f.write(c)


def main():
    d = sys.argv[1]
    os.makedirs(d, exist_ok=True)
    write_good(d, "pal4", 40, 24, 4, 16, False, 0, 12800, 10, 1)
    write_good(d, "pal8snd", 48, 20, 8, 256, False, 320, 12800, 6, 2)
    write_good(d, "ham6snd", 32, 16, 6, 16, True, 400, 20000, 5, 3)
    write_good(d, "ham8", 24, 12, 8, 64, True, 0, 12800, 4, 4)

    def chunk(size, w=16, h=8, planes=2, pal=8, snd=0, kind=1, body=None):
        c = header(kind, 0, size, 0, 0, w, h, planes, pal, snd)
        return (c + bytes(max(size - 32, 0))) if body is None else c + body

    good = chunk(1000)
    write_bad(d, "type", [chunk(1000, kind=2), good, good])
    write_bad(d, "second_size", [good, chunk(1200), good])
    # A chunk size of 0 points the next-chunk check at its own field.
    write_bad(d, "zero_chunk", [chunk(0, body=bytes(200))])
    write_bad(d, "palette", [chunk(1000, pal=520), good, good])
    write_bad(d, "depth0", [chunk(1000, planes=0)] * 3)
    write_bad(d, "depth9", [chunk(1000, planes=9)] * 3)
    write_bad(d, "width0", [chunk(1000, w=0)] * 3)
    write_bad(d, "height0", [chunk(1000, h=0)] * 3)
    write_bad(d, "too_small", [chunk(100, w=64, h=16, planes=4)] * 3)
    write_bad(d, "one_chunk", [good])


if __name__ == "__main__":
    main()
