#!/usr/bin/env python3
"""Wall time of image-sequence writing, two qm-bench builds against each other in paired runs
that alternate which goes first: PNG, TIFF and JPEG sequences through Convert (qm-bench
transcode of a 1920x1080, 300-frame H.264 movie) and through the editor's export (qm-bench
export-project of a 1920x1080 timeline), on a quiet file system and beside a program that writes
to the same file system (a loop of dd ... conv=fsync).

Usage (as root for --loop):
  sequence_writing.py --base OLD/qm-bench --new NEW/qm-bench [--loop MB | --dir DIR]
                      [--pairs N] [--conditions quiet,writer] [--formats png,tiff,jpeg]
                      [--commands transcode,export-project] [--export-seconds S]
--loop MB makes an ext4 image of that size in /tmp, mounts it through a loop device and writes
there (removed at the end); --dir writes into an existing folder. Prints one line per run and a
table of median ratios new/base.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

FORMATS = {"png": "pngSequence", "tiff": "tiffSequence", "jpeg": "jpegSequence"}


def run(argv, **kw):
    return subprocess.run(argv, check=True, **kw)


def make_media(work, export_seconds):
    source = os.path.join(work, "source.mov")
    run(["ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=10",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", source])
    medium = {"id": str(uuid.uuid4()).upper(), "path": source, "name": "source.mov", "width": 1920, "height": 1080,
              "frameRate": 30, "duration": 10, "hasAudio": False, "codecName": "H.264"}
    clip = {"id": str(uuid.uuid4()).upper(), "mediaID": medium["id"], "start": 0, "sourceIn": 0,
            "duration": export_seconds, "opacity": 1, "blendMode": "normal", "fit": "fit", "fadeIn": 0,
            "fadeOut": 0, "volume": 1}
    track = {"id": str(uuid.uuid4()).upper(), "name": "Layer 1", "clips": [clip], "isVisible": True,
             "isAudioEnabled": True}
    project = os.path.join(work, "timeline.qmproj")
    with open(project, "w") as f:
        json.dump({"width": 1920, "height": 1080, "frameRate": 30, "transparentBackground": False,
                   "media": [medium], "tracks": [track]}, f)
    return source, project


class LoopDisk:
    def __init__(self, megabytes):
        self.image = tempfile.mktemp(prefix="seqbench-", suffix=".ext4", dir="/tmp")
        self.mount = tempfile.mkdtemp(prefix="seqbench-mnt-", dir="/tmp")
        run(["truncate", "-s", f"{megabytes}M", self.image])
        run(["mkfs.ext4", "-q", "-F", self.image])
        run(["mount", "-o", "loop", self.image, self.mount])

    def close(self):
        # A writer just stopped may still hold the file system for a moment.
        for _ in range(50):
            if subprocess.run(["umount", self.mount], stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.2)
        os.rmdir(self.mount)
        os.remove(self.image)


class Writer:
    """Another program writing to the same file system: dd of 300 MB with fsync, in a loop."""

    def __init__(self, folder):
        script = f'while :; do dd if=/dev/zero of="{folder}/bg" bs=1M count=300 conv=fsync 2>/dev/null; done'
        self.process = subprocess.Popen(["sh", "-c", script], start_new_session=True)
        self.folder = folder
        time.sleep(1.0)

    def close(self):
        os.killpg(self.process.pid, 9)
        self.process.wait()
        try:
            os.remove(os.path.join(self.folder, "bg"))
        except FileNotFoundError:
            pass


def timed(bench, command, fmt, source, project, out):
    os.makedirs(out)
    if command == "transcode":
        argv = [bench, "transcode", source, "--format", FORMATS[fmt], "--out", out, "--no-audio"]
    else:
        argv = [bench, "export-project", project, "--format", FORMATS[fmt], "--out", out, "--no-audio"]
    start = time.perf_counter()
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed: {result.stderr.strip()}")
    frames = sum(len([n for n in names if not n.startswith(".")]) for _, _, names in os.walk(out))
    shutil.rmtree(out)
    return elapsed, frames


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", required=True)
    parser.add_argument("--new", required=True)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--loop", type=int, metavar="MB")
    where.add_argument("--dir")
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--conditions", default="quiet,writer")
    parser.add_argument("--formats", default="png,tiff,jpeg")
    parser.add_argument("--commands", default="transcode,export-project")
    parser.add_argument("--export-seconds", type=float, default=5)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="seqbench-media-")
    disk = LoopDisk(args.loop) if args.loop else None
    target = disk.mount if disk else (args.dir or tempfile.mkdtemp(prefix="seqbench-out-"))
    ratios = {}
    try:
        source, project = make_media(work, args.export_seconds)
        for condition in args.conditions.split(","):
            writer = Writer(target) if condition == "writer" else None
            try:
                for command in args.commands.split(","):
                    for fmt in args.formats.split(","):
                        for pair in range(args.pairs):
                            # The build that goes first alternates from pair to pair.
                            order = [("base", args.base), ("new", args.new)]
                            if pair % 2:
                                order.reverse()
                            times = {}
                            for name, bench in order:
                                if condition == "quiet":
                                    os.sync()
                                out = os.path.join(target, f"run-{name}")
                                times[name], frames = timed(bench, command, fmt, source, project, out)
                            ratio = times["new"] / times["base"]
                            ratios.setdefault((condition, command, fmt), []).append(ratio)
                            print(f"{condition:6} {command:14} {fmt:4} pair {pair}: base {times['base']:.2f} s, "
                                  f"new {times['new']:.2f} s, ratio {ratio:.3f} ({frames} frames)", flush=True)
            finally:
                if writer:
                    writer.close()
    finally:
        if disk:
            disk.close()
        shutil.rmtree(work)
    print("\nmedian ratio new/base (pairs)")
    for (condition, command, fmt), values in ratios.items():
        print(f"{condition:6} {command:14} {fmt:4} {statistics.median(values):.3f}  ({len(values)})")


if __name__ == "__main__":
    main()
