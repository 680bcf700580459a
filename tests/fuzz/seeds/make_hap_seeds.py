#!/usr/bin/env python3
"""Writes the tiny hand-made Hap frames that seed the two Hap fuzz targets (an 8x8 picture).

Run from this folder: python3 make_hap_seeds.py
"""
import os
import struct


def section(kind, body):
    if 0 < len(body) <= 0xFFFFFF:
        return struct.pack('<I', len(body))[:3] + bytes([kind]) + body
    return bytes([0, 0, 0, kind]) + struct.pack('<I', len(body)) + body


def snappy_literal_then_copy(literal, copy_length):
    """A Snappy block: one literal, then a copy of copy_length bytes from len(literal) back."""
    out = bytes([len(literal) + copy_length])  # varint, below 128 here
    out += bytes([(len(literal) - 1) << 2]) + literal
    out += bytes([2 | ((copy_length - 1) << 2)]) + struct.pack('<H', len(literal))
    return out


def chunked(nibble, compressors, chunks, offsets=None):
    tables = section(0x02, bytes(compressors))
    tables += section(0x03, b''.join(struct.pack('<I', len(c)) for c in chunks))
    if offsets is not None:
        tables += section(0x04, b''.join(struct.pack('<I', o) for o in offsets))
    return section(0xC0 | nibble, section(0x01, tables) + b''.join(chunks))


block8 = bytes(range(8))
block16 = bytes(range(16))
frames = {
    'stored_dxt1': section(0xAB, block8 * 4),
    'snappy_dxt5': section(0xBE, snappy_literal_then_copy(block16, 48)),
    'chunked_ycocg': chunked(0x0F, [0x0A, 0x0B], [block16 * 2, snappy_literal_then_copy(block16, 16)]),
    'chunked_offsets_bc4': chunked(0x01, [0x0A, 0x0A], [block16, block16[::-1]], offsets=[16, 0]),
    'two_textures': section(0x0D, section(0xAF, block16 * 4) + section(0xA1, block8 * 4)),
    'long_header': bytes([0, 0, 0, 0xAB]) + struct.pack('<I', 32) + block8 * 4,
}

for target, prefix in (('qm_hap_decode', bytes([16, 16])), ('qm_hap_decoder_decode', bytes([7, 7, 0]))):
    os.makedirs(target, exist_ok=True)
    for name, frame in frames.items():
        with open(os.path.join(target, name), 'wb') as f:
            f.write(prefix + frame)
