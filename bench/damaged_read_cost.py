#!/usr/bin/env python3
"""What a refusal costs: a whole read (`qm-bench read-frames`) of a movie damaged near its end
against the same read of its intact twin, on one processor (`taskset -c 0`) and on all, in wall
and CPU seconds (the child's user and system time), best of RUNS; and the peak memory (the
child's maximum resident set) of reading a small movie whose sample-size table states far more
samples than the file holds.

The damaged twin has 12 bytes garbled in the middle of the sample shown at 55/60 of the movie
(a P picture past the last key frame but one), so the read meets the damage late, as a
recording damaged near its end does. The lying table: 75 raw 16 x 16 pictures in QuickTime
(512 bytes each, one size for all) whose `stsz` states 5,000,000 and 50,000,000 samples.

Usage: damaged_read_cost.py [--build DIR] [--media DIR] [--runs N] [--seconds S] [--size WxH]
defaults: ../build, /tmp/qm-damaged-read-cost (the movies are made once), 3 runs, 60 s of 1280x720.
"""

import argparse
import os
import struct
import subprocess
import sys
import time


def run(argv, **kw):
    return subprocess.run(argv, check=True, **kw)


def movie(media, seconds, size):
    out = os.path.join(media, f"intact-{seconds}s-{size}.mkv")
    if not os.path.exists(out):
        print(f"making {out} ...", flush=True)
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s={size}:r=25:d={seconds}", "-f", "lavfi",
             "-i", f"cellauto=s={size}:r=25:rule=110:seed=1", "-filter_complex",
             "[0][1]blend=all_mode=addition:all_opacity=0.35,noise=alls=12:allf=t,format=yuv420p", "-t", str(seconds),
             "-c:v", "libx264", "-preset", "veryfast", "-g", "250", out + ".part.mkv"])
        os.replace(out + ".part.mkv", out)
    return out


def damaged_twin(intact, seconds):
    out = intact.replace("intact-", "damaged-")
    if os.path.exists(out):
        return out
    at = seconds * 55 / 60
    packets = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time,pos,size,flags",
                   "-of", "csv=p=0", intact], capture_output=True, text=True).stdout.split()
    best = None
    for line in packets:
        pts, size, pos, flags = line.split(",")[:4]
        if "K" in flags or pos == "N/A":
            continue
        if best is None or abs(float(pts) - at) < abs(best[0] - at):
            best = (float(pts), int(size), int(pos))
    _, size, pos = best
    data = bytearray(open(intact, "rb").read())
    middle = pos + size // 2
    data[middle:middle + 12] = bytes((i * 37 + 11) & 0xFF for i in range(12))
    with open(out + ".part", "wb") as f:
        f.write(data)
    os.replace(out + ".part", out)
    return out


def lying_table(media, count):
    raw = os.path.join(media, "raw16.mov")
    if not os.path.exists(raw):
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=16x16:r=25", "-frames:v", "75", "-c:v",
             "rawvideo", "-pix_fmt", "uyvy422", raw])
    out = os.path.join(media, f"lying-{count}.mov")
    data = bytearray(open(raw, "rb").read())
    at = data.index(b"stsz")
    if struct.unpack(">I", data[at + 8:at + 12])[0] == 0:
        sys.exit("the raw movie's sample sizes differ")
    data[at + 12:at + 16] = struct.pack(">I", count)
    with open(out, "wb") as f:
        f.write(data)
    return out


def measured(argv):
    """Wall seconds, CPU seconds, peak resident kB, exit code and the last words of a child."""
    started = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        try:
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - started
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, os.waitstatus_to_exitcode(status)


def words(argv):
    r = subprocess.run(argv, capture_output=True, text=True)
    text = (r.stdout + r.stderr).strip().splitlines()
    return r.returncode, text[-1] if text else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--media", default="/tmp/qm-damaged-read-cost")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--size", default="1280x720")
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench", "qm-bench")
    if not os.path.exists(bench):
        sys.exit(f"no {bench}: build the qm-bench target")
    os.makedirs(args.media, exist_ok=True)
    intact = movie(args.media, args.seconds, args.size)
    damaged = damaged_twin(intact, args.seconds)

    print(f"whole read of a {args.seconds} s {args.size} x264 Matroska, best of {args.runs} (wall s / CPU s)")
    print("| processors | intact | damaged | damaged / intact wall | damaged / intact CPU | damaged read says |")
    print("|---|---|---|---|---|---|")
    for label, prefix in (("one", ["taskset", "-c", "0"]), ("all", [])):
        results = {}
        for name, file in (("intact", intact), ("damaged", damaged)):
            argv = prefix + [bench, "read-frames", file]
            runs = [measured(argv) for _ in range(args.runs)]
            results[name] = (min(r[0] for r in runs), min(r[1] for r in runs))
        _, said = words(prefix + [bench, "read-frames", damaged])
        (iw, ic), (dw, dc) = results["intact"], results["damaged"]
        print(f"| {label} | {iw:.2f} / {ic:.2f} | {dw:.2f} / {dc:.2f} | {dw / iw:.2f} | {dc / ic:.2f} | {said} |", flush=True)

    print()
    print("a 75-picture QuickTime movie whose sample-size table states more samples (one processor)")
    print("| samples stated | file bytes | peak memory MB | wall s | read says |")
    print("|---|---|---|---|---|")
    for count in (75, 5_000_000, 50_000_000):
        file = lying_table(args.media, count)
        argv = ["taskset", "-c", "0", bench, "read-frames", file]
        wall, _, peak, _ = measured(argv)
        _, said = words(argv)
        print(f"| {count:,} | {os.path.getsize(file):,} | {peak / 1024:.0f} | {wall:.2f} | {said} |", flush=True)


if __name__ == "__main__":
    main()
