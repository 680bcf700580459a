#!/usr/bin/env bash
# Builds the decoders of the private library: libavcodec and libavutil from Debian sid's newest
# FFmpeg source, static and position-independent, with nothing but the HEVC decoder and parser (Debian
# 12's 5.1 decodes only the colour layer of HEVC with alpha) and the H.264 decoder (5.1's marks a
# damaged picture by chance once it runs on frame threads), into the dependency cache:
# $(qm_deps_dir)/ffmpeg-decoders-<version>, with the link ffmpeg-decoders pointing at it. The
# application links it into its private library (src/hevc_alpha/), never beside Debian's FFmpeg.
#
#     build_hevc_alpha_decoder.sh [fuzz]
#
# "fuzz" builds the same code with clang, the fuzzer's coverage and AddressSanitizer, in plain C,
# into ffmpeg-fuzz-decoders[-<version>], which the fuzz tree links instead, so that the fuzzer
# sees into the decoder and not only into our wrapper around it (scripts/test.sh builds it).
# Idempotent: nothing happens when that version, built with this configuration, is already there.
# Exits non-zero when it cannot build; setup.sh then goes on, and the program reads HEVC with alpha
# without its alpha, and H.264 with Debian's decoder.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=debian_source.sh
source "$here/debian_source.sh"

flavour="${1:-release}"
case "$flavour" in
  release) kind=ffmpeg-decoders ;;
  # Not ffmpeg-decoders-fuzz: relinking the release build removes every ffmpeg-decoders-*.
  fuzz) kind=ffmpeg-fuzz-decoders ;;
  *) echo "usage: $0 [fuzz]" >&2; exit 2 ;;
esac

deps="$(qm_deps_dir)"
mkdir -p "$deps"
link="$deps/$kind"

# One builder at a time: developers share the cache, and the second one finds the work done.
exec 9>"$deps/.$kind.lock"
flock 9
# Work folders of a setup that was killed on the way.
rm -rf "$deps/.$kind-build."*

complete() { [ -f "$1/configuration" ] && [ -f "$1/lib/libavcodec.a" ] && [ -f "$1/lib/libavutil.a" ]; }

if ! version=$(qm_sid_ffmpeg_version "decoding alpha layers"); then
  # Offline: a decoder built before still serves.
  if complete "$link"; then
    echo "setup: keeping $(readlink "$link")" >&2
    exit 0
  fi
  exit 1
fi
tarball="ffmpeg_$version.orig.tar.xz"

options=(
  --disable-everything --disable-autodetect --disable-programs --disable-doc --disable-network
  --disable-avdevice --disable-avformat --disable-avfilter --disable-swscale --disable-swresample
  --enable-static --disable-shared --enable-pic
  # Threads are among what --disable-autodetect leaves out; slice threads make the decoder fast.
  --enable-pthreads
  --enable-decoder=hevc --enable-parser=hevc --enable-decoder=h264
)
if [ "$flavour" = fuzz ]; then
  # Assembly is invisible to the instrumentation: plain C throughout. No UndefinedBehaviorSanitizer:
  # FFmpeg's known benign undefined behaviour (shifts of negative values in the DSP code) would stop
  # every run.
  compiler=clang
  options+=(--cc=clang --disable-asm --optflags=-O1
            --extra-cflags="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -gline-tables-only"
            --extra-ldflags=-fsanitize=address)
else
  compiler=cc
  # The decoders' assembly is most of their speed; without nasm it still builds, in plain C.
  if command -v nasm > /dev/null; then options+=(--enable-x86asm); else options+=(--disable-x86asm); fi
fi

name="$kind-$version"
prefix="$deps/$name"
patches=("$here"/patches/ffmpeg-hevc-alpha-*.patch "$here"/patches/ffmpeg-h264-*.patch)
# The stamp names our patches too, so a changed patch rebuilds the decoder.
stamp="$(printf '%s\n' "ffmpeg $version" "${options[@]}" "$("$compiler" --version | head -n 1)"; sha256sum "${patches[@]}" | cut -d' ' -f1)"


if complete "$prefix" && [ "$(cat "$prefix/configuration")" = "$stamp" ]; then
  [ "$(readlink "$link" 2>/dev/null)" = "$name" ] || qm_relink "$link" "$name"
  exit 0
fi

echo "setup: building the private decoders ($flavour) from FFmpeg $version into $prefix"
work=$(mktemp -d "$deps/.$kind-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
qm_cached_orig sid ffmpeg "$tarball" "$work/$tarball"
tar -xJf "$work/$tarball" -C "$work"
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg*' | head -n 1)
[ -n "$source_dir" ] || { echo "setup: $tarball holds no ffmpeg folder" >&2; exit 1; }
for patch in "${patches[@]}"; do
  patch -d "$source_dir" -p1 --quiet --forward < "$patch" ||
    { echo "setup: $(basename "$patch") does not apply to FFmpeg $version" >&2; exit 1; }
done

(
  cd "$source_dir"
  ./configure --prefix="$prefix" "${options[@]}" > "$work/configure.log" 2>&1 ||
    { tail -n 30 "$source_dir/ffbuild/config.log" >&2; echo "setup: configuring the private decoders failed" >&2; exit 1; }
  make -j "$(nproc)" > "$work/make.log" 2>&1 ||
    { tail -n 40 "$work/make.log" >&2; echo "setup: building the private decoders failed" >&2; exit 1; }
  make install-libs install-headers DESTDIR="$work/stage" > /dev/null
)
staged="$work/stage$prefix"
printf '%s\n' "$stamp" > "$staged/configuration"

# The finished prefix takes its place in one rename; a killed setup leaves only the work folder.
if [ -e "$prefix" ]; then mv -T "$prefix" "$work/replaced"; fi
mv -T "$staged" "$prefix"
qm_relink "$link" "$name"
echo "setup: private decoders ($flavour) ready: $prefix"
