#!/usr/bin/env python3
"""Every single-bit flip of the alpha-layer slices of an HEVC-with-alpha movie (the slice data and
headers, not the two bytes of the NAL unit header), each decoded on its own through the HEVC alpha
decoder library, the way the source reader sends it samples. Each flip is counted as refused (the
library returns an error or a refusal for a sample or picture), whole (every picture comes out with
the undamaged movie's alpha) or wrong (pictures come out with other alpha and no word).

    bench/hevc_alpha_bit_flips.py [BUILD] [THREADS] [MOVIE]

defaults: ../build, 0 threads (the library chooses, as the application opens it) and
tests/fixtures/hevc_alpha/hev1-alpha.mov. Samples are found with ffprobe, the hvcC by walking the
boxes (tests/fuzz/hevc_alpha_seeds.py).
"""
import ctypes
import hashlib
import importlib.util
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
AGAIN, EOF = -11, -0x20464F45


class Picture(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32), ("bit_depth", ctypes.c_int32),
                ("chroma_shift_x", ctypes.c_int32), ("chroma_shift_y", ctypes.c_int32),
                ("has_alpha", ctypes.c_int32), ("planes", ctypes.c_void_p * 4), ("strides", ctypes.c_int32 * 4),
                ("pts", ctypes.c_int64)]


def load(build):
    lib = ctypes.CDLL(os.path.join(build, "src/hevc_alpha/libquillmere_hevc_alpha.so"))
    lib.qm_hevc_alpha_open.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]
    lib.qm_hevc_alpha_send.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int64, ctypes.c_int]
    lib.qm_hevc_alpha_receive.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(Picture))]
    lib.qm_hevc_alpha_release.argtypes = [ctypes.POINTER(Picture)]
    lib.qm_hevc_alpha_close.argtypes = [ctypes.c_void_p]
    return lib


def decode(lib, record, samples, times, threads):
    """(refused, [(pts, digest of the alpha plane)]) for the samples, stopping at the first refusal."""
    decoder = ctypes.c_void_p()
    if lib.qm_hevc_alpha_open(bytes(record), len(record), threads, ctypes.byref(decoder)) != 0:
        return True, []
    pictures = []

    def drain():
        while True:
            p = ctypes.POINTER(Picture)()
            rc = lib.qm_hevc_alpha_receive(decoder, ctypes.byref(p))
            if rc in (AGAIN, EOF):
                return True
            if rc != 0:
                return False
            pic = p.contents
            digest = hashlib.md5()
            if pic.has_alpha:
                for y in range(pic.height):
                    digest.update(ctypes.string_at(pic.planes[3] + y * pic.strides[3], pic.width * (2 if pic.bit_depth > 8 else 1)))
            pictures.append((pic.pts, digest.hexdigest()))
            lib.qm_hevc_alpha_release(p)

    ok = True
    for sample, time in zip(samples, times):
        ok = lib.qm_hevc_alpha_send(decoder, bytes(sample), len(sample), time, 0) >= 0 and drain()
        if not ok:
            break
    if ok:
        ok = lib.qm_hevc_alpha_send(decoder, None, 0, 0, 0) >= 0 and drain()
    lib.qm_hevc_alpha_close(decoder)
    return not ok, pictures


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    movie = sys.argv[3] if len(sys.argv) > 3 else os.path.join(HERE, "..", "tests/fixtures/hevc_alpha/hev1-alpha.mov")
    spec = importlib.util.spec_from_file_location("seeds", os.path.join(HERE, "..", "tests/fuzz/hevc_alpha_seeds.py"))
    seeds = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(seeds)
    lib = load(build)
    data = open(movie, "rb").read()
    record = seeds.hvcc(data)
    listing = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts,size,pos",
                              "-of", "csv=p=0", movie], check=True, capture_output=True, text=True).stdout.split()
    samples, times = [], []
    for line in listing:
        pts, size, pos = (int(v) for v in line.split(",")[:3])
        samples.append(data[pos:pos + size])
        times.append(pts)
    refused, reference = decode(lib, record, samples, times, threads)
    if refused or len(reference) != len(samples):
        sys.exit(f"{movie} does not decode whole")
    counts = {"refused": 0, "whole": 0, "wrong": 0}
    for k, sample in enumerate(samples):
        at = 0
        while at + 6 <= len(sample):
            length = struct.unpack(">I", sample[at:at + 4])[0]
            kind, layer = sample[at + 4] >> 1 & 0x3F, (sample[at + 4] & 1) << 5 | sample[at + 5] >> 3
            if layer == 1 and kind < 32:
                for byte in range(at + 6, at + 4 + length):
                    for bit in range(8):
                        damaged = list(samples)
                        flipped = bytearray(sample)
                        flipped[byte] ^= 1 << bit
                        damaged[k] = bytes(flipped)
                        refused, pictures = decode(lib, record, damaged, times, threads)
                        counts["refused" if refused else "whole" if pictures == reference else "wrong"] += 1
            at += 4 + length
    total = sum(counts.values())
    print(f"{total} flips at {threads} threads: {counts['refused']} refused, {counts['whole']} whole, {counts['wrong']} wrong")


if __name__ == "__main__":
    main()
