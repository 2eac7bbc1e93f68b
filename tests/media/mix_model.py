#!/usr/bin/python3
"""A numpy model of MixSample's arithmetic, for the sound library's tests.

Reads one mix as JSON on standard input:
  {"rate": R, "frames": N, "channels": 1|2, "bits": 8|16,
   "sources": [{"values": [...], "channels": 1|2, "bits": 8|16, "pitch": P,
                "offset": O, "threshold": T, "length": L or null,
                "loop": true|false, "scale": S}, ...]}
Source values are signed, as GetSampleData gives them. Prints the mixed
values, signed, interleaved, separated by blanks.

For every output frame f and every source that has begun (f >= threshold)
and has not given its length: the frame read is the integer part of
offset + (f - threshold) * pitch / rate; past the source's end it wraps
when the source loops and adds nothing otherwise. Values are brought to
24 bits (8-bit x 65536, 16-bit x 256), scaled (truncated toward zero) when
the scale is not 1, and summed into left and right (a mono source into
both). The sums are clamped to 24 bits, then shifted to the output width;
mono outputs take left + right with one more bit of shift.
"""
import json
import sys

import numpy as np


def mix(spec):
    rate, frames = spec["rate"], spec["frames"]
    left = np.zeros(frames, dtype=np.int64)
    right = np.zeros(frames, dtype=np.int64)
    f = np.arange(frames, dtype=np.int64)
    for s in spec["sources"]:
        values = np.array(s["values"], dtype=np.int64).reshape(-1, s["channels"])
        count = values.shape[0]
        taken = f - s["threshold"]
        active = taken >= 0
        if s["length"] is not None:
            active &= taken < s["length"]
        position = s["offset"] + taken.astype(np.float64) * s["pitch"] / rate
        whole = np.floor(position)
        past = whole >= count
        if not s["loop"]:
            active &= ~past
        whole = np.where(past, np.fmod(whole, count), whole)
        index = np.where(active, whole, 0).astype(np.int64)
        unit = 65536 if s["bits"] == 8 else 256
        v = values[index] * unit
        if s["scale"] != 1.0:
            v = np.trunc(v * s["scale"]).astype(np.int64)
        v = np.where(active[:, None], v, 0)
        left += v[:, 0]
        right += v[:, -1]
    left = np.clip(left, -8388608, 8388607)
    right = np.clip(right, -8388608, 8388607)
    shift = 8 if spec["bits"] == 16 else 16
    if spec["channels"] == 2:
        out = np.stack([left >> shift, right >> shift], axis=1).reshape(-1)
    else:
        out = (left + right) >> (shift + 1)
    return out


if __name__ == "__main__":
    print(" ".join(str(int(v)) for v in mix(json.load(sys.stdin))))
