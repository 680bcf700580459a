#!/usr/bin/env python3
"""Times the editor's first picture of a clip at 10 %, 50 % and 95 % of a 10-minute and a 2-hour
640x360 MPEG-TS (libx264, a key frame every 10 s) against the same clip in its Matroska remux and
`ffmpeg -ss T -i FILE -frames:v 1 -f null -`, and a whole read of the 10-minute TS against the
Matroska one on one processor (`taskset -c 0`). Each render is a fresh `qm-bench render-frame`
(probe, opening, seek, decoding, PNG); the best of RUNS is kept, and the TS picture is checked
against the Matroska one.

Usage: ts_seek.py [--build DIR] [--media DIR] [--runs N] [--read-runs N] [--only 10m|2h]
The movies are made once into --media (default /tmp/qm-ts-seek; the 2-hour one takes minutes)."""

import argparse
import json
import os
import resource
import subprocess
import tempfile
import time
import uuid

MOVIES = {"10m": 600, "2h": 7200}
FRACTIONS = (0.10, 0.50, 0.95)


def run(argv, **kw):
    return subprocess.run(argv, check=True, **kw)


def make_movie(media, name, seconds):
    ts = os.path.join(media, f"long{name}.ts")
    mkv = os.path.join(media, f"long{name}.mkv")
    if not os.path.exists(ts):
        print(f"making {ts} ...", flush=True)
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc=s=640x360:r=25:d={seconds}", "-c:v", "libx264",
             "-preset", "veryfast", "-b:v", "400k", "-pix_fmt", "yuv420p", ts + ".part.ts"])
        os.replace(ts + ".part.ts", ts)
    if not os.path.exists(mkv):
        run(["ffmpeg", "-v", "error", "-y", "-i", ts, "-c", "copy", mkv + ".part.mkv"])
        os.replace(mkv + ".part.mkv", mkv)
    return ts, mkv


def project_at(work, source, seconds):
    medium = {"id": str(uuid.uuid4()).upper(), "path": source, "name": os.path.basename(source), "width": 640,
              "height": 360, "frameRate": 25, "duration": 7200, "hasAudio": False, "codecName": "H.264"}
    clip = {"id": str(uuid.uuid4()).upper(), "mediaID": medium["id"], "start": 0, "sourceIn": seconds, "duration": 1,
            "opacity": 1, "blendMode": "normal", "fit": "fit", "fadeIn": 0, "fadeOut": 0, "volume": 1}
    track = {"id": str(uuid.uuid4()).upper(), "name": "Layer 1", "clips": [clip], "isVisible": True,
             "isAudioEnabled": True}
    path = os.path.join(work, f"{os.path.basename(source)}-{seconds}.qmproj")
    with open(path, "w") as f:
        json.dump({"width": 640, "height": 360, "frameRate": 25, "transparentBackground": False, "media": [medium],
                   "tracks": [track]}, f)
    return path


def timed(argv):
    """Wall seconds and the child's CPU seconds (user and system)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def best(runs, argv):
    """The least wall and the least CPU seconds of `runs` runs."""
    times = [timed(argv) for _ in range(runs)]
    return min(t[0] for t in times), min(t[1] for t in times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--media", default="/tmp/qm-ts-seek")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--read-runs", type=int, default=3)
    parser.add_argument("--only", choices=sorted(MOVIES))
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench", "qm-bench")
    os.makedirs(args.media, exist_ok=True)
    work = tempfile.mkdtemp(prefix="qm-ts-seek-")
    print("| movie | at | key frame before | TS render s (CPU) | MKV render s (CPU) | ffmpeg -ss TS s (CPU) | TS / MKV wall (CPU) | same picture |")
    print("|---|---|---|---|---|---|---|---|")
    for name, seconds in MOVIES.items():
        if args.only and args.only != name:
            continue
        ts, mkv = make_movie(args.media, name, seconds)
        for fraction in FRACTIONS:
            # Inside a group of pictures (a key frame each 10 s from 0): 2.3 s and 7.9 s after its key frame.
            for into in (2.3, 7.9):
                at = seconds * fraction + into
                row = {}
                for kind, source in (("ts", ts), ("mkv", mkv)):
                    project = project_at(work, source, at)
                    png = os.path.join(work, f"{kind}.png")
                    row[kind] = best(args.runs, [bench, "render-frame", project, "--time", "0", "--out", png])
                same = open(os.path.join(work, "ts.png"), "rb").read() == open(os.path.join(work, "mkv.png"), "rb").read()
                peer = best(args.runs, ["ffmpeg", "-v", "error", "-ss", str(at), "-i", ts, "-frames:v", "1", "-f", "null", "-"])
                print(f"| {name} | {at:.1f} s | {into:.1f} s | {row['ts'][0]:.3f} ({row['ts'][1]:.3f}) | "
                      f"{row['mkv'][0]:.3f} ({row['mkv'][1]:.3f}) | {peer[0]:.3f} ({peer[1]:.3f}) | "
                      f"{row['ts'][0] / row['mkv'][0]:.2f} ({row['ts'][1] / row['mkv'][1]:.2f}) | {'yes' if same else 'NO'} |",
                      flush=True)
    ts, mkv = make_movie(args.media, "10m", MOVIES["10m"])
    reads = {kind: best(args.read_runs, ["taskset", "-c", "0", bench, "read-frames", source])[1]
             for kind, source in (("ts", ts), ("mkv", mkv))}
    print(f"\nread-frames of the 10-minute movie on one processor (CPU s, best of {args.read_runs}): "
          f"TS {reads['ts']:.2f}, MKV {reads['mkv']:.2f}, TS / MKV {reads['ts'] / reads['mkv']:.3f}")


if __name__ == "__main__":
    main()
