#!/usr/bin/env bash
# Decode speed of HEVC with alpha: qm-bench reading every picture of a movie through the source
# reader (both layers, in the decoder's own layout, as Convert reads) next to the peer FFmpeg
# decoding the same file with `ffmpeg -i X -f null -`. The movie is coded by the peer's libx265
# with its alpha layer from a clip with a moving soft alpha.
# Usage: bench/hevc_alpha_decode.sh [BUILD] [RUNS] [SIZE] [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
runs="${2:-5}"
size="${3:-1920x1080}"
seconds="${4:-10}"
source "$here/../scripts/debian_source.sh"
peer="$(qm_deps_dir)/ffmpeg-peer/bin/ffmpeg"
[ -x "$peer" ] || { echo "no peer FFmpeg at $peer: run scripts/setup.sh" >&2; exit 1; }
"$peer" -hide_banner -encoders 2>/dev/null | grep -q libx265 || { echo "the peer FFmpeg has no libx265" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -v error -f lavfi -i "testsrc2=s=$size:r=24:d=$seconds" -f lavfi \
  -i "color=black:s=$size:r=24:d=$seconds,geq=lum='128+127*sin((X+T*200)/150)*cos(Y/120)':cb=128:cr=128" \
  -filter_complex "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le" -c:v prores_ks -profile:v 4444 "$work/source.mov"
"$peer" -v error -i "$work/source.mov" -an -pix_fmt yuva420p -c:v libx265 -preset fast -crf 18 \
  -x265-params "alpha=1:keyint=48:log-level=error" -tag:v hvc1 "$work/alpha.mov"
frames=$((24 * seconds))
"$build/bench/qm-bench" read-frames "$work/alpha.mov" | grep -q "^$frames frames of muxa (a420)" ||
  { echo "qm-bench does not read $frames pictures with alpha from the movie" >&2; exit 1; }

# The two alternate, so a busy machine weighs on both alike; each line is "wall-seconds cpu-seconds".
timed() { /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" > /dev/null && awk '{print $1, $2 + $3}' "$work/time"; }
for _ in $(seq "$runs"); do
  timed "$build/bench/qm-bench" read-frames "$work/alpha.mov" >> "$work/ours"
  timed "$peer" -v error -i "$work/alpha.mov" -f null - >> "$work/theirs"
done
python3 - "$frames" "$work/ours" "$work/theirs" <<'PY'
import sys
frames = int(sys.argv[1])
best = lambda f: min((tuple(map(float, l.split())) for l in open(f)), key=lambda t: t[0])
(ow, oc), (tw, tc) = best(sys.argv[2]), best(sys.argv[3])
print(f"qm-bench read-frames: {frames / ow:.2f} fps ({ow:.2f} s, {oc:.2f} s of CPU)")
print(f"peer ffmpeg -f null:  {frames / tw:.2f} fps ({tw:.2f} s, {tc:.2f} s of CPU)")
print(f"ratio, ours to the peer: speed {tw / ow:.2f}, CPU time {oc / tc:.2f}")
PY
