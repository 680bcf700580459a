#!/usr/bin/env python3
"""Writes the seed of the LTC decoder fuzz target: twelve frames of 25 fps linear timecode from
10:00:00:00, biphase-mark coded at 48 kHz as 8-bit samples, so that mutations start from words the
decoder reads. The first byte 0 picks 48 kHz and 8-bit samples (see qm_ltc_decode.cpp)."""
import os

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds', 'qm_ltc_decode')
SYNC = [0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1]


def word(hours, minutes, seconds, frames):
    bits = [0] * 64
    for start, count, value in ((0, 4, frames % 10), (8, 2, frames // 10), (16, 4, seconds % 10), (24, 3, seconds // 10),
                                (32, 4, minutes % 10), (40, 3, minutes // 10), (48, 4, hours % 10), (56, 2, hours // 10)):
        for k in range(count):
            bits[start + k] = (value >> k) & 1
    return bits + SYNC


def main():
    os.makedirs(ROOT, exist_ok=True)
    level, samples = 1, []
    for frame in range(12):
        for bit in word(10, 0, 0, frame):
            # Every cell starts with a transition; a 1 has another in its middle. 24 samples a cell.
            level = -level
            half = 12 if bit else 24
            samples += [level] * half
            if bit:
                level = -level
                samples += [level] * 12
    with open(os.path.join(ROOT, 'ltc_25fps_48k'), 'wb') as f:
        f.write(b'\x00' + bytes((100 * s) & 0xFF for s in samples))


if __name__ == '__main__':
    main()
