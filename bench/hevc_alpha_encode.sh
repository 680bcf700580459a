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
best() { sort -n | head -n 1; }
ours=$(for _ in $(seq "$runs"); do
  rm -rf "$work/out" && mkdir "$work/out"
  "$build/bench/qm-bench" transcode "$work/source.mov" --format hevcAlpha --quality high --no-audio --out "$work/out" |
    awk '/^fps/ {print $3}' | tr -d '(s)'
done | best)
theirs=$(for _ in $(seq "$runs"); do
  start=$(date +%s.%N)
  "$peer" -v error -y -i "$work/source.mov" -an -pix_fmt yuva420p -c:v libx265 -preset medium -crf 14.5 \
    -x265-params "alpha=1:keyint=48:open-gop=0:log-level=error" "$work/peer.mov"
  python3 -c "print($(date +%s.%N) - $start)"
done | best)
python3 - "$frames" "$ours" "$theirs" <<'PY'
import sys
frames, ours, theirs = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"qm-bench hevcAlpha: {frames / ours:.2f} fps ({ours:.2f} s)")
print(f"peer libx265 alpha: {frames / theirs:.2f} fps ({theirs:.2f} s)")
print(f"ratio (ours / peer fps): {theirs / ours:.2f}")
PY
