#!/usr/bin/env python3
"""Writes tune.mod, the small four-channel module the sound example plays:
one square-wave instrument and sixteen rows of a rising phrase, cut short by
a pattern break so that one pass of the song is about two seconds long (a
module never ends by itself: the song then starts again at its top)."""
import struct
import sys

def main(path):
    header = bytearray(1084)
    header[0:20] = b"quillmere tune".ljust(20, b"\0")
    # Sample 1: 32 bytes of a square wave, looped whole, full volume.
    wave = bytes([0x60] * 16 + [0xA0] * 16)
    s = 20
    header[s:s + 22] = b"square".ljust(22, b"\0")
    struct.pack_into(">HBBHH", header, s + 22, len(wave) // 2, 0, 64, 0, len(wave) // 2)
    for i in range(1, 31):
        struct.pack_into(">HBBHH", header, 20 + i * 30 + 22, 0, 0, 0, 0, 1)
    header[950] = 1      # song length
    header[951] = 127
    header[952] = 0      # order: pattern 0
    header[1080:1084] = b"M.K."
    pattern = bytearray(1024)
    # Periods of C-2 D-2 E-2 F-2 G-2 A-2 B-2 C-3, two rows apart.
    periods = [428, 381, 339, 320, 285, 254, 226, 214]
    for n, period in enumerate(periods):
        row = n * 2
        off = (row * 4) * 4
        pattern[off:off + 4] = bytes([(period >> 8) & 15, period & 255, 0x10, 0])
    # Row 15: a pattern break; one pass of the song is sixteen rows.
    off = (15 * 4 + 1) * 4
    pattern[off:off + 4] = bytes([0, 0, 0x0D, 0])
    with open(path, "wb") as f:
        f.write(header + pattern + wave)

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tune.mod")
