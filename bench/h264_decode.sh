#!/usr/bin/env bash
# Decode speed of H.264: qm-bench reading every picture of a 1080p single-slice libx264 movie
# through the source reader (in the decoder's own layout, as Convert reads), next to Debian's
# `ffmpeg -i X -f null -` decoding the same file and, where a second build is named, that build's
# qm-bench. The sides alternate, so a busy machine weighs on each alike; the best run of each counts.
# Usage: bench/h264_decode.sh [BUILD] [OTHER-BUILD|-] [RUNS] [SIZE] [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
other="${2:--}"
runs="${3:-5}"
size="${4:-1920x1080}"
seconds="${5:-20}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Grain keeps the rate near a camera's (about 6 Mb/s at 1080p); x264 codes one slice a picture.
ffmpeg -v error -f lavfi -i "testsrc2=s=$size:r=25:d=$seconds,noise=alls=12:allf=t" -pix_fmt yuv420p \
  -c:v libx264 -preset veryfast -b:v 6M -g 50 -bf 2 "$work/movie.mp4"
frames=$((25 * seconds))
"$build/bench/qm-bench" read-frames "$work/movie.mp4" | grep -q "^$frames frames of avc1" ||
  { echo "qm-bench does not read $frames pictures from the movie" >&2; exit 1; }

# Each line of a side's file is "wall-seconds cpu-seconds".
timed() { /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" > /dev/null && awk '{print $1, $2 + $3}' "$work/time"; }
for _ in $(seq "$runs"); do
  timed "$build/bench/qm-bench" read-frames "$work/movie.mp4" >> "$work/ours"
  timed ffmpeg -v error -i "$work/movie.mp4" -f null - >> "$work/ffmpeg"
  if [ "$other" != - ]; then timed "$other/bench/qm-bench" read-frames "$work/movie.mp4" >> "$work/other"; fi
done
python3 - "$frames" "$work" "$other" <<'PY'
import os, sys
frames, work, other = int(sys.argv[1]), sys.argv[2], sys.argv[3]
best = lambda f: min((tuple(map(float, l.split())) for l in open(f)), key=lambda t: t[0])
ours = best(f"{work}/ours")
sides = [("qm-bench read-frames", ours), ("ffmpeg -f null", best(f"{work}/ffmpeg"))]
if os.path.exists(f"{work}/other"):
    sides.append((f"qm-bench read-frames of {other}", best(f"{work}/other")))
for label, (wall, cpu) in sides:
    print(f"{label}: {frames / wall:.1f} fps ({wall:.2f} s, {cpu:.2f} s of CPU)")
for label, (wall, _) in sides[1:]:
    print(f"time, ours to {label}: {ours[0] / wall:.2f}")
PY
