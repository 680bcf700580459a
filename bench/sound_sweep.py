#!/usr/bin/env python3
"""Sound sources read through Convert (`qm-bench transcode --format proRes422`, whose movie keeps
the source's rate and channels in 24-bit PCM) and through the editor's mix (`qm-bench audio-mix`
of a project holding one clip of the whole medium, stereo float at 48 kHz), each against ffmpeg's
own decode of the same file.

Valid sources, made with the ffmpeg CLI in a temporary folder: a different tone on every channel
(3 s, rising in pitch, so that a misplaced stretch shows), 1 to 8 channels, 8 to 96 kHz, in AAC,
MP3, Opus, Vorbis, FLAC, PCM, AC-3, E-AC-3 and ALAC, each in the containers it goes in (MP4, MOV,
Matroska, WebM, MPEG-TS, AVI; WAV, raw ADTS, MP3 and FLAC files without pictures, which only the
mix reads; a 32 x 32 H.264 or VP9 picture beside the sound of the others). Raw AC-3 and E-AC-3
files are made too: both must be refused in words.

Damaged copies of some of them (spread over the codecs and containers, fixed seed): 3,000 random
bytes over the middle of the file (`junk`), 8 bits flipped in a sound packet about half way
(`flip`), a sound packet about half way zeroed (`zero`), and the file cut at 60 % (`cut`).

For every read the table gives, per group (codec, and for the damaged the kind of damage):
  lag   the offset in samples (at the output's rate) between ours and ffmpeg's where they match
        best, the largest of the group (0: in place);
  SNR   ours against ffmpeg's at no offset, in dB, the lowest of the group and its median (a valid
        source read whole shows 24-bit PCM's rounding, about 140 dB);
  refused  reads that ended with an error in words (exit 1), and those that crashed or hung.
A damaged copy counts as caught where Convert and the mix both refuse it, or both give ffmpeg's
decode (SNR over 60 dB, where the damage passed unseen by ffmpeg too); passed where ffmpeg
reports the damage (an error on its log) and a read of ours exits 0.

    bench/sound_sweep.py [--build DIR] [--jobs J] [--damaged N] [--seed S] [--keep DIR] [--only TEXT]

defaults: ../build, half the processors, 150 damaged copies, seed 1. --only keeps the sources
whose name holds TEXT. Exits 1 where a valid source is refused or misplaced (lag not 0 or SNR under
60 dB), a read crashes or hangs, or damage ffmpeg reports passes through ours.
"""
import argparse
import array
import concurrent.futures
import json
import math
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = 3

# codec group: encoder arguments, containers, channel counts, rates
CODECS = {
    "AAC": (["-c:a", "aac"], ["mp4", "mov", "mkv", "ts", "aac"], [1, 2, 6, 8], [8000, 22050, 44100, 48000, 96000]),
    "MP3": (["-c:a", "libmp3lame"], ["mp4", "mkv", "ts", "avi", "mov", "mp3"], [1, 2], [8000, 22050, 32000, 44100, 48000]),
    "Opus": (["-c:a", "libopus"], ["mkv", "webm", "mp4"], [1, 2, 6, 8], [16000, 48000]),
    "Vorbis": (["-c:a", "libvorbis"], ["mkv", "webm"], [1, 2, 6, 8], [22050, 44100, 48000, 96000]),
    "FLAC": (["-c:a", "flac"], ["mkv", "flac"], [1, 2, 6, 8], [8000, 44100, 96000]),
    "PCM": (["-c:a", "pcm_s16le"], ["mkv", "avi", "wav"], [1, 2, 6, 8], [8000, 44100, 48000, 96000]),
    "PCM24": (["-c:a", "pcm_s24le"], ["mov"], [1, 2, 6, 8], [44100, 48000, 96000]),
    "AC-3": (["-c:a", "ac3"], ["mp4", "mkv", "ts", "mov"], [1, 2, 6], [32000, 44100, 48000]),
    "E-AC-3": (["-c:a", "eac3"], ["mp4", "mkv", "ts"], [1, 2, 6], [32000, 44100, 48000]),
    "ALAC": (["-c:a", "alac"], ["mov", "mp4", "mkv"], [1, 2, 6, 8], [44100, 48000, 96000]),
}
AUDIO_ONLY = {"aac", "mp3", "flac", "wav"}
LAYOUTS = {1: "mono", 2: "stereo", 6: "5.1", 8: "7.1"}
DAMAGES = ["junk", "flip", "zero", "cut"]


def run(args, timeout=120):
    try:
        r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return r


def tone(channels, rate):
    parts = ["0.3*sin(2*PI*(%d+%d*t)*t)" % (150 + 110 * c, 40 + 15 * c) for c in range(channels)]
    return "aevalsrc=%s:s=%d:d=%d:c=%s" % ("|".join(parts), rate, SECONDS, LAYOUTS[channels])


def make_source(folder, name, codec, container, channels, rate):
    path = os.path.join(folder, name)
    args = ["ffmpeg", "-nostdin", "-y", "-v", "error"]
    if container not in AUDIO_ONLY:
        args += ["-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=%d" % SECONDS]
    args += ["-f", "lavfi", "-i", tone(channels, rate)]
    if container in ("webm",):
        args += ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"]
    elif container not in AUDIO_ONLY:
        args += ["-c:v", "libx264", "-preset", "ultrafast"]
    args += CODECS[codec][0] + ["-ar", str(rate)]
    if codec == "FLAC" and container == "mp4":
        args += ["-strict", "-2"]
    args.append(path)
    r = run(args)
    return path if r is not None and r.returncode == 0 and os.path.getsize(path) > 0 else None


def f32(path):
    data = array.array("f")
    with open(path, "rb") as f:
        data.frombytes(f.read())
    return data


def probe(path):
    r = run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,sample_rate,channels,start_time", "-of", "json", path])
    return json.loads(r.stdout)["streams"] if r and r.returncode == 0 else []


def ffmpeg_decode(path, out, rate, channels, lead, to_stereo):
    """ffmpeg's sound of the file on its time line (0: the first picture), gaps in place; to stereo
    with libswresample's own table, unscaled, as the mix takes it."""
    remix = ":ocl=stereo:rematrix_maxval=1000" if to_stereo else ""
    graph = "aresample=%d%s:async=1:min_hard_comp=0.001:first_pts=0,apad,atrim=%f:%f" % (
        48000 if to_stereo else rate, remix, lead, lead + SECONDS)
    r = run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-copyts", "-i", path, "-map", "0:a:0", "-af", graph, "-f", "f32le", out])
    return (f32(out), r.stderr.decode(errors="replace")) if r and r.returncode == 0 else (None, r.stderr.decode(errors="replace") if r else "hang")


def ffmpeg_errors(path):
    r = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "null", "-"])
    return r.stderr.decode(errors="replace").strip() if r else "hang"


def snr(ours, ref, lag=0, channels=1):
    n = min(len(ours) - max(lag, 0) * channels, len(ref) - max(-lag, 0) * channels)
    if n <= 0:
        return -99.0
    a0, b0 = max(lag, 0) * channels, max(-lag, 0) * channels
    sig = err = 0.0
    for i in range(0, n):
        r = ref[b0 + i]
        d = ours[a0 + i] - r
        sig += r * r
        err += d * d
    extra = abs(len(ours) - len(ref))  # a length that differs counts as error
    if extra:
        tail = ours if len(ours) > len(ref) else ref
        err += sum(v * v for v in tail[len(tail) - extra:])
    if err == 0:
        return 200.0
    return 10 * math.log10(max(sig, 1e-30) / err)


def best_lag(ours, ref, channels, limit=1200):
    """The offset (samples) at which a 4,096-sample stretch from the middle of ours best matches."""
    frames = min(len(ours), len(ref)) // channels
    if frames < 3 * limit:
        return 0
    mid = frames // 2
    a = [ours[(mid + i) * channels] for i in range(0, 4096, 2)]
    best, where = -1.0, 0
    for lag in range(-limit, limit + 1):
        b0 = mid - lag
        num = sq = 0.0
        for k, v in enumerate(a):
            r = ref[(b0 + 2 * k) * channels]
            num += v * r
            sq += r * r
        c = num / math.sqrt(sq) if sq > 0 else 0
        if c > best:
            best, where = c, lag
    return where


def compare(ours_path, ref, channels):
    ours = f32(ours_path)
    s = snr(ours, ref, 0, channels)
    lag = 0 if s > 40 else best_lag(ours, ref, channels)
    return lag, s


def project_for(path, medium_seconds, has_video, folder):
    media_id, clip_id = str(uuid.uuid4()).upper(), str(uuid.uuid4()).upper()
    project = {
        "width": 32, "height": 32, "frameRate": 25, "transparentBackground": False,
        "tracks": [{"id": str(uuid.uuid4()).upper(), "name": "Layer 1", "isVisible": True, "isAudioEnabled": True,
                    "clips": [{"id": clip_id, "mediaID": media_id, "start": 0, "sourceIn": 0, "duration": medium_seconds,
                               "opacity": 1, "blendMode": "normal", "fit": "fit", "fadeIn": 0, "fadeOut": 0, "volume": 1}]}],
        "media": [{"id": media_id, "path": path, "name": os.path.basename(path), "width": 32 if has_video else 0,
                   "height": 32 if has_video else 0, "frameRate": 25 if has_video else 30, "duration": medium_seconds,
                   "hasAudio": True, "codecName": "x"}],
    }
    out = os.path.join(folder, "p.qmproj")
    with open(out, "w") as f:
        json.dump(project, f)
    return out


def words(r):
    if r is None:
        return "hang"
    text = (r.stderr.decode(errors="replace") + r.stdout.decode(errors="replace")).strip().splitlines()
    if r.returncode < 0:
        return "crash (signal %d)" % -r.returncode
    if r.returncode != 0 and not text:
        return "crash (no words)"
    return text[-1] if text else ""


def read_one(qm, item, work):
    """Convert and mix of one file; a dict of what came of each."""
    path = item["path"]
    folder = tempfile.mkdtemp(dir=work)
    result = {"name": item["name"], "group": item["group"], "damage": item.get("damage")}
    streams = probe(path)
    audio = [s for s in streams if s.get("codec_type") == "audio"]
    video = [s for s in streams if s.get("codec_type") == "video"]
    rate = int(audio[0]["sample_rate"]) if audio else 48000
    channels = int(audio[0]["channels"]) if audio else 2
    # Time 0: a movie's first picture, a sound file's first sample heard.
    lead = float((video or audio or [{}])[0].get("start_time", 0) or 0)
    result["ffmpeg"] = ffmpeg_errors(path)
    # Convert: pictures needed.
    if item["video"]:
        r = run([qm, "transcode", path, "--format", "proRes422", "--out", os.path.join(folder, "c")], timeout=180)
        if r is not None and r.returncode == 0:
            movie = r.stdout.decode().splitlines()[0]
            got = os.path.join(folder, "c.raw")
            run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-i", movie, "-map", "0:a:0", "-f", "f32le", got])
            ref, _ = ffmpeg_decode(path, os.path.join(folder, "cr.raw"), rate, channels, lead, False)
            result["convert"] = compare(got, ref, channels) if ref is not None else ("no reference", None)
        else:
            result["convert"] = ("refused" if r is not None and r.returncode == 1 and words(r) else "broken", words(r))
    # The mix of one clip over the whole medium.
    length = float(item.get("length", SECONDS))
    proj = project_for(path, length, item["video"], folder)
    got = os.path.join(folder, "m.raw")
    r = run([qm, "audio-mix", proj, "--out", got], timeout=180)
    if r is not None and r.returncode == 0:
        ref, _ = ffmpeg_decode(path, os.path.join(folder, "mr.raw"), 48000, 2, lead, True)
        if channels == 1 and ref is not None:  # a mono track plays at unity on both channels
            ref, _ = ffmpeg_mono(path, os.path.join(folder, "mr.raw"), lead)
        result["mix"] = compare(got, ref, 2) if ref is not None else ("no reference", None)
    else:
        result["mix"] = ("refused" if r is not None and r.returncode == 1 and words(r) else "broken", words(r))
    shutil.rmtree(folder, ignore_errors=True)
    return result


def ffmpeg_mono(path, out, lead):
    graph = ("aresample=48000:async=1:min_hard_comp=0.001:first_pts=0,apad,atrim=%f:%f,pan=stereo|c0=c0|c1=c0" %
             (lead, lead + SECONDS))
    r = run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-copyts", "-i", path, "-map", "0:a:0", "-af", graph, "-f", "f32le", out])
    return (f32(out), "") if r and r.returncode == 0 else (None, "")


def damage(src, dst, kind, rnd):
    data = bytearray(open(src, "rb").read())
    r = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "packet=pos,size", "-of", "csv=p=0", src])
    packets = []
    for line in r.stdout.decode().splitlines():
        f = line.split(",")
        if len(f) >= 2 and f[0].isdigit() and f[1].isdigit():
            packets.append((int(f[1]), int(f[0])))  # pos, size (ffprobe lists size first)
    if kind == "junk":
        at = len(data) // 2
        data[at:at + 3000] = bytes(rnd.randrange(256) for _ in range(3000))
    elif kind == "cut":
        del data[len(data) * 6 // 10:]
    elif packets:
        pos, size = packets[len(packets) // 2]
        if kind == "flip":
            for _ in range(8):
                i = pos + size // 8 + rnd.randrange(max(size * 3 // 4, 1))
                data[i] ^= 1 << rnd.randrange(8)
        else:
            data[pos:pos + size] = bytes(size)
    else:
        return False
    open(dst, "wb").write(data)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--jobs", type=int, default=max(1, (os.cpu_count() or 2) // 2))
    ap.add_argument("--damaged", type=int, default=150)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep")
    ap.add_argument("--only", default="")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="qm-sound-sweep-")
    qm = os.path.join(work, "qm-bench")
    shutil.copy2(os.path.join(a.build, "bench", "qm-bench"), qm)
    rnd = random.Random(a.seed)
    plan = []
    for codec, (_, containers, counts, rates) in CODECS.items():
        for container in containers:
            for channels in counts:
                for rate in rates:
                    name = "%s-%dch-%d.%s" % (codec.lower(), channels, rate, container)
                    if a.only in name:
                        plan.append((name, codec, container, channels, rate))
    srcdir = os.path.join(work, "sources")
    os.makedirs(srcdir)
    sources = []
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        made = pool.map(lambda p: (p, make_source(srcdir, *p)), plan)
        for (name, codec, container, channels, rate), path in made:
            if path:
                sources.append({"name": name, "path": path, "group": codec if codec != "PCM24" else "PCM",
                                "video": container not in AUDIO_ONLY, "container": container})
    # Raw AC-3 and E-AC-3: refused in words.
    raws = []
    for codec, ext in (("ac3", "ac3"), ("eac3", "eac3")):
        path = os.path.join(srcdir, "raw." + ext)
        if run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i", tone(2, 48000), "-c:a", codec, path]).returncode == 0:
            raws.append(path)
    damaged = []
    picks = [s for s in sources]
    rnd.shuffle(picks)
    picks.sort(key=lambda s: (s["group"], s["container"]))  # stable: spread by a stride below
    stride = max(1, len(picks) // max(1, a.damaged // len(DAMAGES)))
    chosen = picks[::stride][: max(1, a.damaged // len(DAMAGES) + 1)]
    ddir = os.path.join(work, "damaged")
    os.makedirs(ddir)
    for kind in DAMAGES:
        for s in chosen:
            if len(damaged) >= a.damaged * (DAMAGES.index(kind) + 1) // len(DAMAGES):
                break
            dst = os.path.join(ddir, kind + "-" + s["name"])
            if damage(s["path"], dst, kind, rnd):
                damaged.append(dict(s, path=dst, name=kind + "-" + s["name"], damage=kind))
    print("%d valid sources, %d damaged copies, %d raw AC-3/E-AC-3" % (len(sources), len(damaged), len(raws)), flush=True)
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        valid = list(pool.map(lambda s: read_one(qm, s, work), sources))
        broken = list(pool.map(lambda s: read_one(qm, s, work), damaged))
    bad = False
    # Valid sources, by codec.
    print("\nvalid sources            files  Convert: lag  SNR min/median  refused |  mix: lag  SNR min/median  refused")
    groups = sorted({r["group"] for r in valid})
    for g in groups + ["all"]:
        rows = [r for r in valid if g in ("all", r["group"])]
        line = "%-24s %5d" % (g, len(rows))
        for path in ("convert", "mix"):
            got = [r[path] for r in rows if path in r]
            ok = [x for x in got if isinstance(x[0], int)]
            refused = [x for x in got if not isinstance(x[0], int)]
            lags = max((abs(x[0]) for x in ok), default=0)
            snrs = sorted(x[1] for x in ok)
            line += "  %10s %6.1f / %6.1f  %4d/%-4d" % (lags, snrs[0] if snrs else float("nan"),
                                                       statistics.median(snrs) if snrs else float("nan"), len(refused), len(got))
        print(line)
    for r in valid:
        for path in ("convert", "mix"):
            x = r.get(path)
            if x is None:
                continue
            if not isinstance(x[0], int) or x[0] != 0 or x[1] < 60:
                bad = True
                print("  %s %s: %s" % (r["name"], path, "lag %d, SNR %.1f dB" % x if isinstance(x[0], int) else "%s: %s" % x))
    for path in raws:
        r = run([qm, "probe", "--audio-only", path])
        text = words(r)
        print("raw %s: %s" % (os.path.basename(path), text))
        if r is None or r.returncode != 1:
            bad = True
    # Damaged copies, by kind of damage.
    print("\ndamaged copies           files  ffmpeg reports  Convert refused  mix refused  passed unseen by ffmpeg (SNR >= 60)  passed where ffmpeg reports  crashes/hangs")
    for kind in DAMAGES + ["all"]:
        rows = [r for r in broken if kind in ("all", r["damage"])]
        reported = [r for r in rows if r["ffmpeg"]]
        conv = [r for r in rows if "convert" in r]
        cref = sum(1 for r in conv if r["convert"][0] == "refused")
        mref = sum(1 for r in rows if r["mix"][0] == "refused")
        same = sum(1 for r in rows for p in ("convert", "mix") if p in r and isinstance(r[p][0], int) and r[p][0] == 0 and r[p][1] >= 60)
        passed = sum(1 for r in reported for p in ("convert", "mix") if p in r and isinstance(r[p][0], int))
        crashed = sum(1 for r in rows for p in ("convert", "mix") if p in r and r[p][0] == "broken")
        print("%-24s %5d  %14d  %8d/%-6d  %6d/%-4d  %36d  %27d  %13d" % (kind, len(rows), len(reported), cref, len(conv), mref, len(rows),
                                                                          same, passed, crashed))
    for r in broken:
        for p in ("convert", "mix"):
            x = r.get(p)
            if x is None:
                continue
            if x[0] == "broken" or (r["ffmpeg"] and isinstance(x[0], int)):
                bad = True
                print("  %s %s: %s (ffmpeg: %s)" % (r["name"], p, x, r["ffmpeg"].splitlines()[0] if r["ffmpeg"] else "nothing"))
                if a.keep:
                    os.makedirs(a.keep, exist_ok=True)
                    shutil.copy2([d for d in damaged if d["name"] == r["name"]][0]["path"], a.keep)
    shutil.rmtree(work, ignore_errors=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
