#!/usr/bin/env python3
"""Single-bit flips in the slices of a 250-frame 320 x 240 libx264 movie (one slice a picture, and
four), each read whole through the source reader (`qm-bench read-frames`). Each flip is counted as
refused (the reading fails in words), whole (read without a word, and FFmpeg decodes the damaged
movie to the intact movie's pictures), other pictures (read without a word, every picture, some of
them not the intact movie's) or fewer pictures (read without a word, pictures left out).

    bench/h264_bit_flips.py [BUILD] [FLIPS] [THREADS]

defaults: ../build, 100 flips a movie (the same ones in every run: a fixed seed), every processor.
THREADS runs the reading under `taskset` on that many processors.
"""
import hashlib
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def sample_spans(movie):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pos,size", "-of",
                          "csv=p=0", movie], capture_output=True, text=True, check=True).stdout
    spans = []
    for line in out.split():
        size, pos = (int(v) for v in line.split(","))  # ffprobe's own order
        spans.append((pos, size))
    return spans


def slice_bytes(data, movie):
    """Offsets of every byte of the movie's slice data (past each unit's header), by sample."""
    offsets = []
    for pos, size in sample_spans(movie):
        at = pos
        while at + 5 <= pos + size:
            length = int.from_bytes(data[at:at + 4], "big")
            if data[at + 4] & 0x1F in (1, 5):
                offsets.extend(range(at + 5, at + 4 + length))
            at += 4 + length
    return offsets


def pictures(movie):
    out = subprocess.run(["ffmpeg", "-v", "quiet", "-threads", "1", "-i", movie, "-map", "0:v", "-fps_mode", "passthrough",
                          "-f", "framemd5", "-"], capture_output=True, text=True).stdout
    return [line.split(",")[-1].strip() for line in out.splitlines() if line and not line.startswith("#")]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    flips = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    threads = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    bench = [os.path.join(build, "bench", "qm-bench"), "read-frames"]
    if threads > 0:
        bench = ["taskset", "-c", f"0-{threads - 1}"] + bench
    with tempfile.TemporaryDirectory() as work:
        for slices in (1, 4):
            movie = os.path.join(work, f"slices{slices}.mp4")
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=10", "-pix_fmt", "yuv420p",
                            "-c:v", "libx264", "-x264-params", f"slices={slices}", movie], check=True)
            data = open(movie, "rb").read()
            intact = pictures(movie)
            places = slice_bytes(data, movie)
            rng = random.Random(slices)
            counts = {"refused": 0, "whole": 0, "other": 0, "fewer": 0}
            damaged = os.path.join(work, "damaged.mp4")
            for _ in range(flips):
                at, bit = rng.choice(places), rng.randrange(8)
                flipped = bytearray(data)
                flipped[at] ^= 1 << bit
                open(damaged, "wb").write(flipped)
                read = subprocess.run(bench + [damaged], capture_output=True, text=True)
                if read.returncode != 0:
                    counts["refused"] += 1
                elif not read.stdout.startswith(f"{len(intact)} frames"):
                    counts["fewer"] += 1
                elif pictures(damaged) == intact:
                    counts["whole"] += 1
                else:
                    counts["other"] += 1
            print(f"{slices} slice(s): {flips} flips: {counts['refused']} refused, {counts['whole']} whole, "
                  f"{counts['other']} other pictures, {counts['fewer']} fewer pictures", flush=True)


if __name__ == "__main__":
    main()
