#!/usr/bin/env python3
"""Seeds for qm_hevc_alpha_decode from small HEVC-with-alpha movies: the first video sample
description's hvcC and every video sample, in the target's layout (a byte of skip flags, the
record's length in two bytes whose top bit asks for slice threads, the record, then each sample
after a 3-byte length). Samples are found with ffprobe; the record by walking the boxes.

    hevc_alpha_seeds.py [--threads] MOVIE SEED [MOVIE SEED ...]
"""
import struct
import subprocess
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl"}


def boxes(data, start, end):
    while start + 8 <= end:
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[start + 8:start + 16])[0]
            header = 16
        elif size == 0:
            size = end - start
        if size < header or start + size > end:
            return
        yield kind, start + header, start + size
        start += size


def hvcc(data, start=0, end=None):
    end = len(data) if end is None else end
    for kind, body, stop in boxes(data, start, end):
        if kind in CONTAINERS:
            found = hvcc(data, body, stop)
            if found is not None:
                return found
        elif kind == b"stsd":
            # Version, flags and count; then the entries, whose boxes follow 78 bytes of fields.
            for _, entry, entry_end in boxes(data, body + 8, stop):
                for child, child_body, child_end in boxes(data, entry + 78, entry_end):
                    if child == b"hvcC":
                        return data[child_body:child_end]
    return None


def seed(movie, threads=False):
    data = open(movie, "rb").read()
    record = hvcc(data)
    if record is None:
        sys.exit(f"{movie}: no hvcC")
    listing = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "packet=size,pos", "-of", "csv=p=0", movie],
                             check=True, capture_output=True, text=True).stdout
    out = bytearray([0]) + struct.pack(">H", len(record) | (0x8000 if threads else 0)) + record
    for line in listing.split():
        size, pos = (int(v) for v in line.split(",")[:2])
        out += struct.pack(">I", size)[1:] + data[pos:pos + size]
    return bytes(out)


if __name__ == "__main__":
    args = sys.argv[1:]
    threads = bool(args) and args[0] == "--threads"
    args = args[threads:]
    if not args or len(args) % 2:
        sys.exit(__doc__)
    for movie, target in zip(args[::2], args[1::2]):
        open(target, "wb").write(seed(movie, threads))
