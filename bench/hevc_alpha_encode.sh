#!/usr/bin/env bash
# Encode speed of HEVC with alpha: qm-bench converting a ProRes 4444 clip with a moving soft alpha
# next to the peer FFmpeg (scripts/setup.sh builds it with the same x265) encoding the same clip
# with -c:v libx265 and its alpha layer at the same rate factor, preset and key-frame interval.
# Usage: bench/hevc_alpha_encode.sh [BUILD] [RUNS] [SIZE] [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
runs="${2:-3}"
size="${3:-1920x1080}"
seconds="${4:-4}"
source "$here/../scripts/debian_source.sh"
peer="$(qm_deps_dir)/ffmpeg-peer/bin/ffmpeg"
[ -x "$peer" ] || { echo "no peer FFmpeg at $peer: run scripts/setup.sh" >&2; exit 1; }
"$peer" -hide_banner -encoders 2>/dev/null | grep -q libx265 || { echo "the peer FFmpeg has no libx265" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -v error -f lavfi -i "testsrc2=s=$size:r=24:d=$seconds" -f lavfi \
  -i "color=black:s=$size:r=24:d=$seconds,geq=lum='128+127*sin((X+T*200)/150)*cos(Y/120)':cb=128:cr=128" \
  -filter_complex "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le" -c:v prores_ks -profile:v 4444 "$work/source.mov"
frames=$((24 * seconds))

# Quality "high" is 0.85, a rate factor of 40 - 30 x 0.85 = 14.5; key frames every two seconds.
# The two alternate, so a busy machine weighs on both alike; each line is "wall-seconds cpu-seconds".
timed() { /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" > /dev/null && awk '{print $1, $2 + $3}' "$work/time"; }
for _ in $(seq "$runs"); do
  rm -rf "$work/out" && mkdir "$work/out"
  timed "$build/bench/qm-bench" transcode "$work/source.mov" --format hevcAlpha --quality high --no-audio --out "$work/out" >> "$work/ours"
  timed "$peer" -v error -y -i "$work/source.mov" -an -pix_fmt yuva420p -c:v libx265 -preset medium -crf 14.5 \
    -x265-params "alpha=1:keyint=48:open-gop=0:log-level=error" "$work/peer.mov" >> "$work/theirs"
done
python3 - "$frames" "$work/ours" "$work/theirs" <<'PY'
import sys
frames = int(sys.argv[1])
best = lambda f: min((tuple(map(float, l.split())) for l in open(f)), key=lambda t: t[0])
(ow, oc), (tw, tc) = best(sys.argv[2]), best(sys.argv[3])
print(f"qm-bench hevcAlpha: {frames / ow:.2f} fps ({ow:.2f} s, {oc:.2f} s of CPU)")
print(f"peer libx265 alpha: {frames / tw:.2f} fps ({tw:.2f} s, {tc:.2f} s of CPU)")
print(f"ratio, ours to the peer: speed {tw / ow:.2f}, CPU time {oc / tc:.2f}")
PY
