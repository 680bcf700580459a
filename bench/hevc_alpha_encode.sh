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
source "$here/hevc_alpha_peer.sh"

# Quality "high" is 0.85, a rate factor of 40 - 30 x 0.85 = 14.5; key frames every two seconds.
for _ in $(seq "$runs"); do
  rm -rf "$work/out" && mkdir "$work/out"
  timed "$build/bench/qm-bench" transcode "$work/source.mov" --format hevcAlpha --quality high --no-audio --out "$work/out" >> "$work/ours"
  timed "$peer" -v error -y -i "$work/source.mov" -an -pix_fmt yuva420p -c:v libx265 -preset medium -crf 14.5 \
    -x265-params "alpha=1:keyint=48:open-gop=0:log-level=error" "$work/peer.mov" >> "$work/theirs"
done
report "qm-bench hevcAlpha" "peer libx265 alpha"
