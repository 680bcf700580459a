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
source "$here/hevc_alpha_peer.sh"
"$peer" -v error -i "$work/source.mov" -an -pix_fmt yuva420p -c:v libx265 -preset fast -crf 18 \
  -x265-params "alpha=1:keyint=48:log-level=error" -tag:v hvc1 "$work/alpha.mov"
"$build/bench/qm-bench" read-frames "$work/alpha.mov" | grep -q "^$frames frames of muxa (a420)" ||
  { echo "qm-bench does not read $frames pictures with alpha from the movie" >&2; exit 1; }

for _ in $(seq "$runs"); do
  timed "$build/bench/qm-bench" read-frames "$work/alpha.mov" >> "$work/ours"
  timed "$peer" -v error -i "$work/alpha.mov" -f null - >> "$work/theirs"
done
report "qm-bench read-frames" "peer ffmpeg -f null"
