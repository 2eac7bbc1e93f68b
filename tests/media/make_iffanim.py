#!/usr/bin/env python3
"""Writes IFF ANIM test files and, beside each, the frames it encoded.

Usage: make_iffanim.py DIR [--bench]. For every case DIR gets NAME.anim and
NAME.frames (the expected ARGB words of every frame, little-endian, frame
after frame) and DIR/cases.txt lists the cases, one a line: name, file, expected frames,
width, height, frame count, the reader options the expectation holds for
(deinterlace mode, load transparency), whether ffmpeg decodes it alike
(0 or 1), then the expected delay of each frame in milliseconds.

The frames are random pens with changing rectangles, so deltas carry skips,
copies and repeats. Each delta is encoded against the frame its buffer
holds: two frames back for interleave 0 (the first two deltas against the
first frame), the previous frame for interleave 1 (method 5 then XORs)."""
import os
import random
import struct
import sys


def be16(v):
    return struct.pack('>H', v & 0xFFFF)


def be32(v):
    return struct.pack('>I', v & 0xFFFFFFFF)


def chunk(cid, data):
    out = cid + be32(len(data)) + data
    return out + (b'\0' if len(data) & 1 else b'')


def row_bytes(width):
    return ((width + 15) // 16) * 2


def to_planes(pens, width, height, planes):
    """Plane after plane, each height rows of rowBytes bytes."""
    rb = row_bytes(width)
    out = [bytearray(rb * height) for _ in range(planes)]
    for y in range(height):
        for x in range(width):
            pen = pens[y * width + x]
            for p in range(planes):
                if pen >> p & 1:
                    out[p][y * rb + x // 8] |= 0x80 >> (x & 7)
    return out


def byterun1(row):
    out = bytearray()
    i = 0
    while i < len(row):
        run = 1
        while i + run < len(row) and run < 128 and row[i + run] == row[i]:
            run += 1
        if run >= 2:
            out += bytes([(257 - run) & 0xFF, row[i]])
            i += run
            continue
        j = i
        while j < len(row) and j - i < 128 and not (j + 1 < len(row) and row[j + 1] == row[j]):
            j += 1
        if j == i:
            j = i + 1
        out += bytes([j - i - 1]) + row[i:j]
        i = j
    return bytes(out)


def body(planes, width, height, packed):
    rb = row_bytes(width)
    out = bytearray()
    for y in range(height):
        for plane in planes:
            row = bytes(plane[y * rb:(y + 1) * rb])
            out += byterun1(row) if packed else row
    return bytes(out)


def column_ops(old, new, xor, max_skip, max_copy, max_rep):
    """Ops for one column of unit values: ('skip', n), ('copy', [v..]),
    ('rep', n, v). A trailing skip is left out."""
    vals = [n ^ o for o, n in zip(old, new)] if xor else list(new)
    same = [n == o for o, n in zip(old, new)]
    ops = []
    i, h = 0, len(new)
    while i < h:
        if same[i]:
            j = i
            while j < h and same[j] and j - i < max_skip:
                j += 1
            if j < h:
                ops.append(('skip', j - i))
            i = j
            continue
        j = i
        while j < h and vals[j] == vals[i] and j - i < max_rep:
            j += 1
        if j - i >= 3:
            ops.append(('rep', j - i, vals[i]))
            i = j
            continue
        j = i
        while j < h and not same[j] and j - i < max_copy:
            if j + 2 < h and vals[j] == vals[j + 1] == vals[j + 2] and j > i:
                break
            j += 1
        ops.append(('copy', vals[i:j]))
        i = j
    return ops


def unit_columns(width, longs):
    """(byte offset, unit) of the columns of methods 7 and 8."""
    if longs:
        cols = [(4 * i, 4) for i in range(width // 32)]
        if width % 32:
            cols.append((4 * (width // 32), 2))
        return cols
    return [(2 * i, 2) for i in range(width // 16)]


def column_values(plane, rb, height, offset, unit):
    return [int.from_bytes(plane[y * rb + offset:y * rb + offset + unit], 'big')
            for y in range(height)]


def delta_5(old, new, rb, height, xor):
    lists = []
    for po, pn in zip(old, new):
        if po == pn:
            lists.append(None)
            continue
        data = bytearray()
        for col in range(rb):
            ops = column_ops(column_values(po, rb, height, col, 1),
                             column_values(pn, rb, height, col, 1), xor, 127, 127, 255)
            data.append(len(ops))
            for op in ops:
                if op[0] == 'skip':
                    data.append(op[1])
                elif op[0] == 'copy':
                    data += bytes([0x80 | len(op[1])] + op[1])
                else:
                    data += bytes([0, op[1], op[2]])
        lists.append(bytes(data))
    return pack_pointers(lists, [None] * 8)


def delta_7(old, new, rb, height, width, longs):
    ops_lists, data_lists = [], []
    for po, pn in zip(old, new):
        if po == pn:
            ops_lists.append(None)
            data_lists.append(None)
            continue
        opsb, datab = bytearray(), bytearray()
        for offset, unit in unit_columns(width, longs):
            ops = column_ops(column_values(po, rb, height, offset, unit),
                             column_values(pn, rb, height, offset, unit), False, 127, 127, 255)
            opsb.append(len(ops))
            for op in ops:
                if op[0] == 'skip':
                    opsb.append(op[1])
                elif op[0] == 'copy':
                    opsb.append(0x80 | len(op[1]))
                    for v in op[1]:
                        datab += v.to_bytes(unit, 'big')
                else:
                    opsb += bytes([0, op[1]])
                    datab += op[2].to_bytes(unit, 'big')
        ops_lists.append(bytes(opsb))
        data_lists.append(bytes(datab))
    return pack_pointers(ops_lists, data_lists)


def delta_8(old, new, rb, height, width, longs):
    lists = []
    for po, pn in zip(old, new):
        if po == pn:
            lists.append(None)
            continue
        data = bytearray()
        for offset, unit in unit_columns(width, longs):
            copy_bit = 0x80000000 if unit == 4 else 0x8000
            limit = copy_bit - 1
            ops = column_ops(column_values(po, rb, height, offset, unit),
                             column_values(pn, rb, height, offset, unit), False, limit, limit,
                             limit)
            word = lambda v: v.to_bytes(unit, 'big')
            data += word(len(ops))
            for op in ops:
                if op[0] == 'skip':
                    data += word(op[1])
                elif op[0] == 'copy':
                    data += word(copy_bit | len(op[1]))
                    for v in op[1]:
                        data += word(v)
                else:
                    data += word(0) + word(op[1]) + word(op[2])
        lists.append(bytes(data))
    return pack_pointers(lists, [None] * 8)


def delta_offsets(old, new, rb, height, unit, fields):
    """Methods 100 (unit 4) and 101 (unit 2)."""
    lists = []
    step_rows = 2 if fields else 1
    for po, pn in zip(old, new):
        if po == pn:
            lists.append(None)
            continue
        entries = []
        for offset in range(0, rb, unit):
            for start in range(step_rows):
                rows = list(range(start, height, step_rows))
                o = [int.from_bytes(po[y * rb + offset:y * rb + offset + unit], 'big') for y in rows]
                n = [int.from_bytes(pn[y * rb + offset:y * rb + offset + unit], 'big') for y in rows]
                i = 0
                while i < len(rows):
                    if o[i] == n[i]:
                        i += 1
                        continue
                    j = i
                    while j < len(rows) and o[j] != n[j]:
                        j += 1
                    k = i
                    while k < j and n[k] == n[i]:
                        k += 1
                    at = rows[i] * rb + offset
                    if k - i >= 2:
                        entries.append((k - i, at, [n[i]]))
                        i = k
                    else:
                        entries.append((-(j - i), at, n[i:j]))
                        i = j
        data = bytearray(be32(len(entries)) if unit == 4 else be16(len(entries)))
        for count, at, vals in entries:
            data += (be32(count) if unit == 4 else be16(count)) + be32(at)
            for v in vals:
                data += v.to_bytes(unit, 'big')
        lists.append(bytes(data))
    return pack_pointers(lists, [None] * 8)


def pack_pointers(first, second):
    """16 plane pointers (op lists, then data lists), then the lists."""
    first = first + [None] * (8 - len(first))
    second = second + [None] * (8 - len(second))
    out = bytearray(64)
    for slot, data in enumerate(first + second):
        if data is None:
            continue
        struct.pack_into('>I', out, 4 * slot, len(out))
        out += data
        if len(out) & 1:
            out.append(0)
    return bytes(out)


def ham_decode(pens, width, height, palette, bits):
    shift = bits - 2
    mask = (1 << shift) - 1
    up = 8 - shift
    out = []
    for y in range(height):
        held = 0
        for x in range(width):
            pen = pens[y * width + x]
            value, ctl = pen & mask, pen >> shift & 3
            if ctl == 0:
                held = palette[value] & 0xFFFFFF
            elif ctl == 1:
                held = (held & ~0xFF) | (value << up)
            elif ctl == 2:
                held = (held & ~0xFF0000) | (value << up << 16)
            else:
                held = (held & ~0xFF00) | (value << up << 8)
            out.append(held & 0xFFFFFF)
    return out


def make_frames(rng, width, height, planes, count, fields=False):
    """Frame 0 random, each later frame changes a few rectangles (of one
    row parity per frame when fields is set)."""
    top = 1 << planes
    frames = [[rng.randrange(top) for _ in range(width * height)]]
    for k in range(1, count):
        pens = list(frames[-1])
        for _ in range(3):
            x0, y0 = rng.randrange(width), rng.randrange(height)
            x1, y1 = min(width, x0 + rng.randrange(1, 17)), min(height, y0 + rng.randrange(1, 9))
            flat = rng.random() < 0.5
            pen = rng.randrange(top)
            for y in range(y0, y1):
                if fields and y % 2 != k % 2:
                    continue
                for x in range(x0, x1):
                    pens[y * width + x] = pen if flat else rng.randrange(top)
        frames.append(pens)
    return frames


def rows_of(pens, width, y):
    return pens[y * width:(y + 1) * width]


def deinterlace(buffers_pens, prev_pens, width, height, n, parity, mode):
    """The rows the current field did not write, as the reader fills them."""
    pens = list(buffers_pens)
    q = (n + parity) % 2
    for y in range(1 if q == 0 else 0, height, 2):
        if mode == 0:
            src, from_pens = y, prev_pens
        elif q == 1:
            src, from_pens = (y + 1 if y + 1 < height else height - 2), pens
        else:
            src, from_pens = y - 1, pens
        if src < 0:
            continue
        pens[y * width:(y + 1) * width] = from_pens[src * width:(src + 1) * width]
    return pens


def write_case(out_dir, name, cfg, cases):
    rng = random.Random(cfg.get('seed', 1))
    w, h, planes = cfg['width'], cfg['height'], cfg['planes']
    method, interleave, bits = cfg['method'], cfg.get('interleave', 0), cfg.get('bits', 0)
    count = cfg.get('frames', 6)
    fields = method in (100, 101) and bits & 0x40
    extra = 2 if method in (100, 101) else 0  # loop frames, not counted
    frames = make_frames(rng, w, h, planes, count + extra, fields)
    ncol = cfg.get('colours', 1 << planes)
    palette = [rng.randrange(1 << 24) for _ in range(256)]
    for k, v in cfg.get('palette', {}).items():
        palette[int(k)] = v
    palettes = [list(palette)]
    cmap_at = cfg.get('cmap_at')  # the frame whose FORM carries a new CMAP
    reltimes = [rng.randrange(1, 30) for _ in range(count + extra)]
    rb = row_bytes(w)
    masking, tcol = cfg.get('masking', 0), cfg.get('transparent', 0)
    camg = cfg.get('camg')

    out = bytearray()
    first = bytearray()
    first += chunk(b'BMHD', be16(w) + be16(h) + be16(0) + be16(0) +
                   bytes([planes, masking, 1 if cfg.get('packed') else 0, 0]) + be16(tcol) +
                   bytes([1, 1]) + be16(w) + be16(h))
    first += chunk(b'ANHD', bytes([0, 0]) + be16(w) + be16(h) + be16(0) + be16(0) + be32(0) +
                   be32(reltimes[0]) + bytes([interleave, 0]) + be32(bits) + bytes(16))
    first += chunk(b'CMAP', b''.join(struct.pack('>I', c)[1:] for c in palette[:ncol]))
    if cfg.get('dpan'):
        first += chunk(b'DPAN', be16(4) + be16(count) + be32(0))
    if camg is not None:
        first += chunk(b'CAMG', be32(camg))
    first += chunk(b'BODY', body(to_planes(frames[0], w, h, planes), w, h, cfg.get('packed')))
    out += chunk(b'FORM', b'ILBM' + bytes(first))

    # The reader's two buffers, as planes and as the frames they hold.
    buffers = [to_planes(frames[0], w, h, planes), to_planes(frames[0], w, h, planes)]
    current = 0
    for k in range(1, count + extra):
        target = buffers[current]
        new = to_planes(frames[k], w, h, planes)
        if method == 5:
            dlta = delta_5(target, new, rb, h, interleave == 1)
        elif method == 7:
            dlta = delta_7(target, new, rb, h, w, bits & 1)
        elif method == 8:
            dlta = delta_8(target, new, rb, h, w, bits & 1)
        else:
            dlta = delta_offsets(target, new, rb, h, 4 if method == 100 else 2, fields)
        buffers[current] = new
        if interleave != 1:
            current ^= 1
        form = chunk(b'ANHD', bytes([method, 0]) + be16(w) + be16(h) + be16(0) + be16(0) +
                     be32(0) + be32(reltimes[k]) + bytes([interleave, 0]) + be32(bits) +
                     bytes(16))
        if cmap_at == k:
            palette = list(palette)
            for i in range(ncol):
                palette[i] = (palette[i] + 0x102030 * (i + 1)) & 0xFFFFFF
            form += chunk(b'CMAP', b''.join(struct.pack('>I', c)[1:] for c in palette[:ncol]))
        palettes.append(list(palette))
        form += chunk(b'DLTA', dlta)
        out += chunk(b'FORM', b'ILBM' + form)
    data = chunk(b'FORM', b'ANIM' + bytes(out))
    with open(os.path.join(out_dir, name + '.anim'), 'wb') as f:
        f.write(data)

    # The field parity the reader finds: the first delta changes the rows of
    # parity 1 (frames change rows y % 2 == k % 2), so the interlace is 1
    # after one delta.
    parity = 0
    if fields:
        parity = (1 % 2) ^ 1
    for mode in ([0, 1] if fields else [0]):
        words = bytearray()
        for n in range(count):
            pal = list(palettes[n])
            if camg is not None and camg & 0x80:
                for i in range(32):
                    pal[32 + i] = (pal[i] >> 1) & 0x7F7F7F
            pens = frames[n]
            if fields:
                pens = deinterlace(frames[n], frames[max(n - 1, 0)], w, h, n, parity, mode)
            ham = camg is not None and camg & 0x800
            if ham:
                rgb = ham_decode(pens, w, h, pal, 8 if planes > 6 else 6)
            else:
                rgb = [pal[p] & 0xFFFFFF for p in pens]
            if cfg.get('load_transparency'):
                if ham:
                    key = (tcol * 4096) | tcol
                    rgb = [c if c == key else c | 0xFF000000 for c in rgb]
                else:
                    rgb = [c if p == (tcol & 0xFF) else c | 0xFF000000
                           for c, p in zip(rgb, pens)]
            words += b''.join(struct.pack('<I', c) for c in rgb)
        suffix = '' if not fields else ('.weave' if mode == 0 else '.double')
        with open(os.path.join(out_dir, name + suffix + '.frames'), 'wb') as f:
            f.write(words)
        delays = [round(reltimes[k + 1] * 1000 / 60) for k in range(count - 1)] + [0]
        cases.append({'name': name + suffix, 'file': name + '.anim',
                      'frames': name + suffix + '.frames', 'width': w, 'height': h,
                      'count': count, 'delays': delays, 'deinterlace': mode if fields else 0,
                      'load_transparency': 1 if cfg.get('load_transparency') else 0,
                      'method': method, 'interleave': interleave, 'bits': bits,
                      'ffmpeg': cfg.get('ffmpeg', False)})


CASES = {
    'm5': dict(width=48, height=20, planes=4, method=5, packed=True, dpan=True, cmap_at=3,
               ffmpeg=True, seed=5),
    'm5xor': dict(width=37, height=17, planes=3, method=5, interleave=1, seed=6),
    'm7w': dict(width=48, height=18, planes=3, method=7, ffmpeg=True, seed=7),
    'm7l': dict(width=40, height=12, planes=2, method=7, bits=1, seed=8),
    'm8w': dict(width=32, height=21, planes=5, method=8, packed=True, ffmpeg=True, seed=9),
    'm8l': dict(width=40, height=14, planes=4, method=8, bits=1, dpan=True, seed=10),
    'm100': dict(width=64, height=10, planes=2, method=100, seed=11),
    'm101': dict(width=32, height=9, planes=3, method=101, dpan=True, seed=12),
    'm100i': dict(width=32, height=12, planes=2, method=100, bits=0x40, interleave=1, seed=13),
    'm101i': dict(width=16, height=11, planes=2, method=101, bits=0x40, interleave=1, seed=14),
    'mask': dict(width=32, height=8, planes=3, method=5, masking=2, transparent=5,
                 load_transparency=True, seed=15),
    'ehb': dict(width=32, height=8, planes=6, method=5, camg=0x80, colours=32, seed=16),
    'ham6': dict(width=32, height=8, planes=6, method=5, camg=0x800, colours=16, masking=2,
                 transparent=0x20, palette={5: 0x020020}, load_transparency=True, seed=17),
    'ham8': dict(width=32, height=6, planes=8, method=8, camg=0x800, colours=64, seed=18),
}


# The benchmark's anim (make_iffanim.py DIR --bench): a 320 x 256 picture
# of 5 planes and 60 frames of method 5.
BENCH = {'bench': dict(width=320, height=256, planes=5, method=5, packed=True, frames=60, seed=3)}


def main():
    out_dir = sys.argv[1]
    cases = []
    for name, cfg in (BENCH if sys.argv[2:] == ['--bench'] else CASES).items():
        write_case(out_dir, name, cfg, cases)
    with open(os.path.join(out_dir, 'cases.txt'), 'w') as f:
        for c in cases:
            f.write(' '.join(str(v) for v in (
                c['name'], c['file'], c['frames'], c['width'], c['height'], c['count'],
                c['deinterlace'], c['load_transparency'], int(c['ffmpeg']))) + ' ' +
                ' '.join(str(d) for d in c['delays']) + '\n')


if __name__ == '__main__':
    main()
