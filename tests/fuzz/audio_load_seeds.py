#!/usr/bin/env python3
"""Writes the seeds of the sound-loading fuzz target: tiny WAV files, mono and stereo, 16-bit and
float, so that mutations start inside the readers. The first byte of each seed picks the file
extension (see qm_audio_load.cpp; 0 is .wav, bit 7 names channel 1 of track 0 as the LTC one)."""
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds', 'qm_audio_load')


def wav(channels, rate, frames, fmt_code=1, bits=16):
    samples = [math.sin(2 * math.pi * 440 * i / rate) * (0.5 + 0.4 * c) for i in range(frames) for c in range(channels)]
    if fmt_code == 3:
        data = struct.pack('<%df' % len(samples), *samples)
    else:
        data = struct.pack('<%dh' % len(samples), *[int(s * 32000) for s in samples])
    block = channels * bits // 8
    fmt = struct.pack('<HHIIHH', fmt_code, channels, rate, rate * block, block, bits)
    return b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 8 + len(data)) + b'WAVE' + \
        b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data


def main():
    os.makedirs(ROOT, exist_ok=True)
    seeds = {
        'wav_mono_s16': b'\x00' + wav(1, 8000, 400),
        'wav_stereo_s16_ltc_right': b'\x80' + wav(2, 8000, 400),
        'wav_stereo_float': b'\x00' + wav(2, 22050, 300, fmt_code=3, bits=32),
    }
    for name, data in seeds.items():
        with open(os.path.join(ROOT, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
