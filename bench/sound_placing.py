#!/usr/bin/env python3
"""What placing a clip's sound costs against where the clip sits and how large its file is: the CPU
time (user + system) of `qm-bench audio-mix` of a project holding one 5 s clip, at in-points from
10 s to near the end of Matroska sound files of three sizes (AAC and Opus at 256 kb/s, with a
32 x 32 picture beside them), and of the same clip in a remux to MP4 for comparison. The best of
RUNS is kept; each mix is checked against ffmpeg's decode of the same 5 s (SNR in dB). A last
row per file mixes the clips at all its in-points in one project: the pass over the file that
places them is made once and shared.

Usage: sound_placing.py [--build DIR] [--media DIR] [--runs N] [--only TEXT]
The files are made once into --media (default /tmp/qm-sound-placing)."""

import argparse
import array
import json
import math
import os
import resource
import subprocess
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
# name: seconds, codec; at 256 kb/s about 2, 18 and 75 MB (the last past the first 64 MB)
FILES = {"short": (60, "aac"), "mid": (560, "aac"), "long": (2400, "aac"), "opus": (560, "libopus")}
CLIP = 5.0


def make(media, name, seconds, codec):
    mkv = os.path.join(media, f"{name}.mkv")
    mp4 = os.path.join(media, f"{name}.mp4")
    if not os.path.exists(mkv):
        print(f"making {mkv} ...", flush=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc=s=32x32:r=25:d={seconds}", "-f", "lavfi",
                        "-i", f"aevalsrc=0.3*sin(2*PI*(200+0.5*t)*t)|0.3*sin(2*PI*(300+0.3*t)*t):s=48000:d={seconds}",
                        "-c:v", "libx264", "-preset", "ultrafast", "-c:a", codec, "-b:a", "256k", mkv + ".part.mkv"], check=True)
        os.replace(mkv + ".part.mkv", mkv)
    if not os.path.exists(mp4):
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", mkv, "-c", "copy", mp4 + ".part.mp4"], check=True)
        os.replace(mp4 + ".part.mp4", mp4)
    return mkv, mp4, seconds


def project(folder, path, seconds, inpoints):
    media_id = str(uuid.uuid4()).upper()
    p = {"width": 32, "height": 32, "frameRate": 25, "transparentBackground": False,
         "tracks": [{"id": str(uuid.uuid4()).upper(), "name": "Layer 1", "isVisible": True, "isAudioEnabled": True,
                     "clips": [{"id": str(uuid.uuid4()).upper(), "mediaID": media_id, "start": k * CLIP, "sourceIn": inpoint,
                                "duration": CLIP, "opacity": 1, "blendMode": "normal", "fit": "fit", "fadeIn": 0, "fadeOut": 0,
                                "volume": 1} for k, inpoint in enumerate(inpoints)]}],
         "media": [{"id": media_id, "path": path, "name": os.path.basename(path), "width": 32, "height": 32, "frameRate": 25,
                    "duration": seconds, "hasAudio": True, "codecName": "x"}]}
    out = os.path.join(folder, "p.qmproj")
    with open(out, "w") as f:
        json.dump(p, f)
    return out


def cpu_of(argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def floats(path):
    a = array.array("f")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a


def snr(ours, ref):
    n = min(len(ours), len(ref))
    signal = sum(ref[i] * ref[i] for i in range(n))
    noise = sum((ours[i] - ref[i]) ** 2 for i in range(n))
    return 200.0 if noise == 0 else 10 * math.log10(max(signal, 1e-20) / noise)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--media", default="/tmp/qm-sound-placing")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--only", default="")
    a = ap.parse_args()
    qm = os.path.join(a.build, "bench", "qm-bench")
    os.makedirs(a.media, exist_ok=True)
    print("| file | MB | in-point s | CPU s (Matroska) | SNR dB | CPU s (MP4) |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="qm-sound-placing-") as folder:
        for name, (seconds, codec) in FILES.items():
            if a.only not in name:
                continue
            mkv, mp4, seconds = make(a.media, name, seconds, codec)
            mb = os.path.getsize(mkv) / 2 ** 20
            inpoints = sorted({10.0, seconds * 0.25, seconds * 0.5, seconds - 2 * CLIP})
            for inpoint in inpoints:
                row = []
                for path in (mkv, mp4):
                    proj = project(folder, path, seconds, [inpoint])
                    out = os.path.join(folder, "mix.raw")
                    row.append(min(cpu_of([qm, "audio-mix", proj, "--out", out]) for _ in range(a.runs)))
                    if path == mkv:
                        ref = os.path.join(folder, "ref.raw")
                        lead = float(json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=start_time",
                                                                "-select_streams", "v", "-of", "json", path], capture_output=True,
                                                               check=True).stdout)["streams"][0]["start_time"])
                        subprocess.run(["ffmpeg", "-v", "error", "-y", "-copyts", "-i", path, "-map", "0:a", "-af",
                                        "aresample=48000:async=1:min_hard_comp=0.001:first_pts=0,atrim=%f:%f" %
                                        (lead + inpoint, lead + inpoint + CLIP), "-f", "f32le", "-ac", "2", ref], check=True)
                        row.append(snr(floats(out), floats(ref)))
                print("| %s | %.0f | %.0f | %.3f | %.1f | %.3f |" % (name, mb, inpoint, row[0], row[1], row[2]), flush=True)
            out = os.path.join(folder, "mix.raw")
            both = [min(cpu_of([qm, "audio-mix", project(folder, path, seconds, inpoints), "--out", out]) for _ in range(a.runs))
                    for path in (mkv, mp4)]
            print("| %s | %.0f | all %d in one mix | %.3f | | %.3f |" % (name, mb, len(inpoints), both[0], both[1]), flush=True)


if __name__ == "__main__":
    main()
