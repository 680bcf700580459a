#!/usr/bin/env python3
"""Writes the tiny hand-made frames that seed the DXV and NotchLC fuzz targets.

Run from this folder: python3 make_dxv_seeds.py
"""
import os
import struct


class Stream:
    """A coded DXV stream: operation words reserved in place, arguments after them."""

    def __init__(self):
        self.out = bytearray()
        self.op_at = None
        self.codes = 0

    def word(self, w):
        self.out += struct.pack('<I', w)

    def byte(self, b):
        self.out.append(b)

    def le16(self, v):
        self.out += struct.pack('<H', v)

    def op(self, code):
        if self.op_at is None or self.codes == 16:
            self.op_at = len(self.out)
            self.codes = 0
            self.word(0)
        self.out[self.op_at + self.codes // 4] |= code << (2 * (self.codes % 4))
        self.codes += 1


def dxv_frame(tag, raw, payload):
    return tag[::-1].encode() + bytes([4, 0, 1 if raw else 0, 0]) + struct.pack('<I', len(payload)) + bytes(payload)


def size_prefix(w, h):
    return bytes([(w - 1) & 0xFF, (w - 1) >> 8, (h - 1) & 0xFF, (h - 1) >> 8])


def dxt1_stream():
    s = Stream()
    s.word(0x11111111); s.word(0x22222222)
    s.op(0); s.op(0); s.word(0x33333333); s.op(0); s.word(0x44444444)
    s.op(1)
    s.op(2); s.byte(0)
    s.op(0); s.op(1); s.op(2); s.byte(1)
    for _ in range(11):
        s.op(1)
    return s.out


def dxt5_stream():
    s = Stream()
    for w in (0xA0A0A0A0, 0xA1A1A1A1, 0xC0C0C0C0, 0xC1C1C1C1):
        s.word(w)
    s.op(3); s.word(0xB0B0B0B0); s.word(0xB1B1B1B1); s.op(0); s.op(0); s.word(0xD0D0D0D0); s.op(1)
    s.op(2); s.le16(0); s.op(1)
    s.op(2); s.le16(1); s.op(2); s.byte(1)
    s.op(1); s.byte(2); s.op(0); s.op(0); s.word(0xE0E0E0E0); s.op(0); s.word(0xE1E1E1E1)
    s.op(1); s.op(1)
    s.op(0); s.byte(7)
    s.op(3); s.word(0xF0F0F0F0); s.word(0xF1F1F1F1); s.op(0); s.op(0); s.word(0xF2F2F2F2); s.op(0); s.word(0xF3F3F3F3)
    return s.out


def notchlc_body(alpha):
    """A 32x16 NotchLC frame: two 16x16 areas of flat luma and chroma, optionally half transparent."""
    W, H = 32, 16
    body = bytearray(40)
    for _ in range(H // 4):
        body += struct.pack('<I', 0)
    luma_control = len(body)
    for _ in range(H // 4):
        for bx in range(W // 4):
            y = 1000 if bx < 4 else 2000
            body += struct.pack('<I', y | (y << 12))
    chroma_offsets = len(body)
    body += struct.pack('<II', 0, 3)
    chroma_data = len(body)
    body += bytes([0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0])
    body += bytes([0, 0, 0, 0, 0x80, 0xAF, 0x80, 0xAF, 0, 0, 0, 0])
    alpha_control = len(body)
    body += struct.pack('<IIII', 0x55555555, 0, 0, 0)
    luma_data = len(body)
    body += bytes(64)
    end = len(body)
    alpha_at = alpha_control if alpha else luma_data
    header = [W, H, chroma_offsets // 4, luma_control // 4, alpha_at // 4, chroma_data // 4, end - luma_data, 0, 0,
              end]
    body[0:40] = struct.pack('<10I', *header)
    return bytes(body)


def notchlc_frame(alpha):
    body = notchlc_body(alpha)
    packed = bytearray([0xF0])
    rest = len(body) - 15
    while rest >= 255:
        packed.append(255)
        rest -= 255
    packed.append(rest)
    packed += body
    return b'1CLN' + struct.pack('<III', len(body), len(packed), 1) + bytes(packed)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    dxv = os.path.join(here, 'qm_dxv_unpack')
    write(dxv, 'dxt1_coded', size_prefix(16, 16) + dxv_frame('DXT1', False, dxt1_stream()))
    write(dxv, 'dxt5_coded', size_prefix(16, 16) + dxv_frame('DXT5', False, dxt5_stream()))
    write(dxv, 'dxt1_raw_17x9', size_prefix(17, 9) + dxv_frame('DXT1', True, bytes(range(256))))
    one = Stream()
    one.word(0x7BEF7BEF); one.word(0)
    for _ in range(15):
        one.op(1)
    write(dxv, 'dxt1_one_pixel', size_prefix(1, 1) + dxv_frame('DXT1', False, one.out))
    write(dxv, 'ycocg', size_prefix(16, 16) + dxv_frame('YCG6', False, bytes(32)))
    nlc = os.path.join(here, 'qm_notchlc_decode')
    write(nlc, 'opaque_bgra', bytes([0, 31, 15]) + notchlc_frame(False))
    write(nlc, 'alpha_rgba64', bytes([1, 31, 15]) + notchlc_frame(True))
    write(nlc, 'alpha_cropped', bytes([0, 19, 9]) + notchlc_frame(True))
    # bit 1 of the first byte: the rest is the uncompressed body, wrapped by the target
    write(nlc, 'body_opaque', bytes([2, 31, 15]) + notchlc_body(False))
    write(nlc, 'body_alpha_rgba64', bytes([3, 31, 15]) + notchlc_body(True))


if __name__ == '__main__':
    main()
