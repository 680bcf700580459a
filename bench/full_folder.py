#!/usr/bin/env python3
"""CPU and wall time of a Convert run (qm-bench transcode) into a folder of many files against the
same run into a nearly empty folder, in pairs that alternate which goes first; with --base, the
same for a second qm-bench build, and the ratio of the two.

The full folder holds --files items as users' folders hold them: most visible files of a few
bytes, some of 64 bytes, some hidden (".name.partial", ".~lock"), a few folders.

Usage:
  full_folder.py --new NEW/qm-bench [--base OLD/qm-bench] [--files 100000] [--pairs 7]
                 [--format hap] [--dir DIR]
Prints one line per run and the median ratios.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_source(work):
    source = os.path.join(work, "source.mov")
    subprocess.run(["ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=1",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", source], check=True)
    return source


def fill(folder, files):
    os.makedirs(folder)
    for i in range(files):
        kind = i % 20
        if kind == 0:
            name, size = f".clip{i}.mov.partial", 10
        elif kind == 1:
            name, size = f".~lock.doc{i}#", 10
        elif kind in (2, 3):
            name, size = f"notes {i}.txt", 64
        elif kind == 4 and i % 1000 == 4:
            os.makedirs(os.path.join(folder, f"Folder {i}"))
            continue
        else:
            name, size = f"IMG_{i:06d}.jpg", 12
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"x" * size)


def one_run(bench, source, folder, fmt):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    out = subprocess.run([bench, "transcode", source, "--format", fmt, "--out", folder, "--no-audio"], check=True,
                         capture_output=True, text=True).stdout.splitlines()[0]
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    shutil.rmtree(out) if os.path.isdir(out) else os.remove(out)
    return cpu, wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--new", required=True)
    parser.add_argument("--base")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--format", default="hap")
    parser.add_argument("--dir")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="fullfolder-", dir=args.dir)
    try:
        source = make_source(work)
        full, empty = os.path.join(work, "full"), os.path.join(work, "empty")
        fill(full, args.files)
        os.makedirs(empty)
        with open(os.path.join(empty, "notes.txt"), "w") as f:
            f.write("x")
        builds = [("new", args.new)] + ([("base", args.base)] if args.base else [])
        times = {(b, where): [] for b, _ in builds for where in ("full", "empty")}
        for build, bench in builds:  # warm up caches and the user's secret
            one_run(bench, source, empty, args.format)
            one_run(bench, source, full, args.format)
        for pair in range(args.pairs):
            order = [(b, bench, where) for b, bench in builds for where in ("full", "empty")]
            if pair % 2:
                order.reverse()
            for build, bench, where in order:
                cpu, wall = one_run(bench, source, full if where == "full" else empty, args.format)
                times[(build, where)].append((cpu, wall))
                print(f"pair {pair} {build:4} {where:5} cpu {cpu:.3f} s wall {wall:.3f} s", flush=True)
        print(f"\n{args.files} files, {args.pairs} pairs, format {args.format}; medians")
        median = {key: (statistics.median(c for c, _ in v), statistics.median(w for _, w in v)) for key, v in times.items()}
        for build, _ in builds:
            full_cpu, full_wall = median[(build, "full")]
            empty_cpu, empty_wall = median[(build, "empty")]
            print(f"{build:4} full cpu {full_cpu:.3f} s wall {full_wall:.3f} s | empty cpu {empty_cpu:.3f} s "
                  f"wall {empty_wall:.3f} s | full/empty cpu {full_cpu / empty_cpu:.2f} wall {full_wall / empty_wall:.2f}")
        if args.base:
            print(f"new/base in the full folder: cpu {median[('new', 'full')][0] / median[('base', 'full')][0]:.2f} "
                  f"wall {median[('new', 'full')][1] / median[('base', 'full')][1]:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
