# What the HEVC-with-alpha benchmarks share, sourced by them after setting `here`, `size` and
# `seconds`: the peer FFmpeg built by scripts/setup.sh (with libx265), a work folder, a 24 fps clip
# with a moving soft alpha as ProRes 4444 ($work/source.mov, $frames pictures), and the timing of
# alternating runs.
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

# The two sides alternate, so a busy machine weighs on both alike; each line of $work/ours and
# $work/theirs is "wall-seconds cpu-seconds".
timed() { /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" > /dev/null && awk '{print $1, $2 + $3}' "$work/time"; }

# report OURS-LABEL PEER-LABEL: the best run of each side and their ratio.
report() {
  python3 - "$frames" "$work/ours" "$work/theirs" "$1" "$2" <<'PY'
import sys
frames = int(sys.argv[1])
best = lambda f: min((tuple(map(float, l.split())) for l in open(f)), key=lambda t: t[0])
(ow, oc), (tw, tc) = best(sys.argv[2]), best(sys.argv[3])
print(f"{sys.argv[4]}: {frames / ow:.2f} fps ({ow:.2f} s, {oc:.2f} s of CPU)")
print(f"{sys.argv[5]}: {frames / tw:.2f} fps ({tw:.2f} s, {tc:.2f} s of CPU)")
print(f"ratio, ours to the peer: speed {tw / ow:.2f}, CPU time {oc / tc:.2f}")
PY
}
