#!/usr/bin/env bash
# HEVC with alpha under stress: many long Convert runs of a small source with sound, several at a
# time beside busy loops, the way a race in the encoder's frame threads shows itself. Each run must
# exit cleanly, and the peer FFmpeg (which reads the alpha layer; Debian's reads only the colour)
# must decode both layers of every picture of its movie's video without a word.
# Usage: bench/hevc_alpha_stress.sh [BUILD] [RUNS] [AT_ONCE] [MINUTES] [BUSY] [SOURCE]
#   defaults: ../build, 24 runs, 6 at a time, a 5-minute 160x96 60 fps ProRes Proxy source with
#   3-channel sound (made here unless SOURCE names one), 8 busy loops.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
runs="${2:-24}"
at_once="${3:-6}"
minutes="${4:-5}"
busy="${5:-8}"
source_movie="${6:-}"
bench="$build/bench/qm-bench"
[ -x "$bench" ] || { echo "no $bench: build the qm-bench target" >&2; exit 1; }
source "$here/../scripts/debian_source.sh"
peer="$(qm_deps_dir)/ffmpeg-peer/bin/ffmpeg"
[ -x "$peer" ] || { echo "no peer FFmpeg at $peer: run scripts/setup.sh" >&2; exit 1; }
work="$(mktemp -d)"
loops=()
trap '[ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null; rm -rf "$work"' EXIT

if [ -z "$source_movie" ]; then
  source_movie="$work/long.mov"
  seconds=$((minutes * 60))
  # Hard cuts every 1.3 s and a moving test picture keep the lookahead deciding scene changes,
  # B pictures and key frames all through the source.
  ffmpeg -v error -f lavfi -i "testsrc2=s=160x96:r=60:d=$seconds" -f lavfi -i "sine=f=440:r=48000:d=$seconds" \
    -vf "hue=h=137*floor(t/1.3)" -af "pan=3.0|c0=c0|c1=c0|c2=c0" \
    -c:v prores_ks -profile:v 0 -c:a pcm_s16le "$source_movie" || exit 1
fi
frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$source_movie")

run_one() {
  local i="$1" out="$work/out$1"
  mkdir -p "$out"
  local started=$SECONDS
  "$bench" transcode "$source_movie" --format hevcAlpha --out "$out" > "$work/log$i" 2>&1
  local rc=$?
  local movie
  movie=$(find "$out" -maxdepth 1 -type f -name '*.mov' ! -name '.*' | head -n 1)
  local verdict="ok"
  if [ "$rc" -ne 0 ]; then
    verdict="exit $rc$([ "$rc" -gt 128 ] && echo " (signal $((rc - 128)))")"
  elif [ -z "$movie" ]; then
    verdict="no movie"
  else
    # The video track only (the peer has no decoder for the sound); alphaextract fails on a
    # picture whose alpha layer did not decode.
    local errors decoded
    errors=$("$peer" -v error -nostdin -i "$movie" -map 0:v -vf alphaextract -progress "$work/progress$i" -f null - 2>&1)
    decoded=$(grep '^frame=' "$work/progress$i" | tail -n 1 | cut -d= -f2)
    if [ -n "$errors" ]; then
      verdict="decode errors: $(head -n 1 <<< "$errors")"
    elif [ "$decoded" != "$frames" ]; then
      verdict="$decoded of $frames pictures decoded"
    fi
  fi
  echo "run $i: $verdict after $((SECONDS - started)) s"
  rm -rf "$out"
}

for _ in $(seq "$busy"); do
  (while :; do :; done) &
  loops+=($!)
done
{
  for i in $(seq "$runs"); do
    run_one "$i" &
    while [ "$(jobs -rp | wc -l)" -ge "$at_once" ]; do wait -n; done
  done
  wait
} | tee "$work/results"
bad=$(grep -vc ': ok after' "$work/results")
echo "$runs runs of $frames pictures, $at_once at a time beside $busy busy loops: $((runs - bad)) ok, $bad failed"
[ "$bad" -eq 0 ]
