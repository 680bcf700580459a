#!/usr/bin/env python3
"""Writes the seeds of the source-probe fuzz target: tiny hand-built QuickTime movies and a WAV
file, so that mutations start inside the container readers. The first byte of each seed picks the
file extension the target uses (see probe.cpp). Run from anywhere."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds', 'qm_probe')


def atom(kind, *parts):
    body = b''.join(parts)
    return struct.pack('>I', 8 + len(body)) + kind + body


def full(kind, version_flags, *parts):
    return atom(kind, struct.pack('>I', version_flags), *parts)


def movie(codec, width, height, frame, depth=24, name=b'Seed'):
    timescale, frames = 600, 2
    matrix = struct.pack('>9I', 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)
    entry = (b'\0' * 6 + struct.pack('>H', 1) + b'\0' * 16 + struct.pack('>HH', width, height) +
             struct.pack('>II', 0x480000, 0x480000) + b'\0' * 4 + struct.pack('>H', 1) +
             bytes([len(name)]) + name.ljust(31, b'\0') + struct.pack('>hh', depth, -1))
    stbl = atom(b'stbl',
                full(b'stsd', 0, struct.pack('>I', 1), atom(codec, entry)),
                full(b'stts', 0, struct.pack('>III', 1, frames, 20)),
                full(b'stsc', 0, struct.pack('>IIII', 1, 1, frames, 1)),
                full(b'stsz', 0, struct.pack('>II', len(frame), frames)),
                full(b'stco', 0, struct.pack('>II', 1, 0)))  # patched below
    trak = atom(b'trak',
                full(b'tkhd', 3, struct.pack('>IIII', 0, 0, 1, 0), struct.pack('>I', frames * 20), b'\0' * 8,
                     struct.pack('>hhhh', 0, 0, 0, 0), matrix, struct.pack('>II', width << 16, height << 16)),
                atom(b'mdia',
                     full(b'mdhd', 0, struct.pack('>IIII', 0, 0, timescale, frames * 20), struct.pack('>HH', 0x55C4, 0)),
                     full(b'hdlr', 0, b'mhlr', b'vide', b'\0' * 12, b'\0'),
                     atom(b'minf', full(b'vmhd', 1, b'\0' * 8), stbl)))
    moov = atom(b'moov',
                full(b'mvhd', 0, struct.pack('>IIII', 0, 0, timescale, frames * 20), struct.pack('>IH', 0x10000, 0x100),
                     b'\0' * 10, matrix, b'\0' * 24, struct.pack('>I', 2)),
                trak)
    ftyp = atom(b'ftyp', b'qt  ', struct.pack('>I', 0x200), b'qt  ')
    mdat = atom(b'mdat', frame * frames)
    offset = len(ftyp) + len(moov) + 8
    moov = moov.replace(struct.pack('>II', 1, 0) + atom(b'x')[:0], struct.pack('>II', 1, 0), 1)
    stco_at = moov.rfind(b'stco')
    moov = moov[:stco_at + 12] + struct.pack('>I', offset) + moov[stco_at + 16:]
    return ftyp + moov + mdat


def wav(samples):
    data = struct.pack('<%dh' % len(samples), *samples)
    fmt = struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16)
    return b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 8 + len(data)) + b'WAVE' + \
        b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data


def main():
    os.makedirs(ROOT, exist_ok=True)
    # A 4x4 Hap frame: one uncompressed DXT1 block (section type 0xAB).
    hap = struct.pack('<I', 8 | (0xAB << 24)) + b'\xff\xff\x00\x00\x00\x00\x00\x00'
    seeds = {
        'mov_hap1': b'\x00' + movie(b'Hap1', 4, 4, hap),
        'mov_hap5_depth32': b'\x00' + movie(b'Hap5', 4, 4, hap, depth=32),
        'mov_prores_header_only': b'\x00' + movie(b'apch', 16, 16, b'\0' * 16),
        'mov_oversized': b'\x00' + movie(b'apch', 20000, 16, b'\0' * 4),
        'wav_tone': b'\x88' + wav([0, 1000, 2000, 1000, 0, -1000, -2000, -1000]),
    }
    for name, data in seeds.items():
        with open(os.path.join(ROOT, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
