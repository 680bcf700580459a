#!/usr/bin/env bash
# Builds the small FFmpeg the tests use as an independent reader of our output (HEVC alpha layers,
# current DXV) from Debian sid's newest source, into the dependency cache:
# $(qm_deps_dir)/ffmpeg-peer-<version>[-x265], with the link ffmpeg-peer pointing at it. Only tests
# run it; the application never does. Idempotent: nothing happens when that version, built with
# this configuration, is already there. Called by setup.sh after the Debian packages are in.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=debian_source.sh
source "$here/debian_source.sh"

deps="$(qm_deps_dir)"
mkdir -p "$deps"
link="$deps/ffmpeg-peer"

# One builder at a time: developers share the cache, and the second one finds the work done.
exec 9>"$deps/.ffmpeg-peer.lock"
flock 9
# Work folders of a setup that was killed on the way.
rm -rf "$deps"/.ffmpeg-peer-build.*

if ! version=$(qm_sid_ffmpeg_version "the peer"); then
  # Offline: a peer that was built before still serves; without one the tests say what is missing.
  if [ -x "$link/bin/ffmpeg" ]; then
    echo "setup: keeping $(readlink "$link")" >&2
    exit 0
  fi
  exit 1
fi
tarball="ffmpeg_$version.orig.tar.xz"

options=(
  --disable-everything --disable-doc --disable-network --disable-autodetect
  --enable-ffmpeg --enable-ffprobe --disable-ffplay
  --enable-static --disable-shared
  # PNG needs zlib, which --disable-autodetect leaves out.
  --enable-zlib
  --enable-decoder=hevc,dxv,prores,png,rawvideo
  --enable-parser=hevc,png
  --enable-demuxer=mov,image2,rawvideo
  --enable-muxer=rawvideo,image2,null
  # wrapped_avframe is what the null muxer takes, for the psnr filter's runs to nowhere.
  --enable-encoder=rawvideo,png,wrapped_avframe
  --enable-protocol=file,pipe
  --enable-filter=scale,format,alphaextract,psnr,null,split
)

# With the x265 that setup builds with alpha support, the peer encodes HEVC with alpha too, so the
# benchmark can set our encoder against libx265 driven by FFmpeg itself.
x265="$deps/x265-4.1-alpha"
suffix=""
x265_stamp=""
if [ -f "$x265/lib/pkgconfig/x265.pc" ] && [ -f "$x265/lib/libx265.a" ]; then
  suffix="-x265"
  options+=(--enable-gpl --enable-libx265 --enable-encoder=libx265 --enable-muxer=mov
            --pkg-config-flags=--static --extra-libs="-lstdc++ -lm -lpthread -ldl")
  # The library is linked in: a rebuilt x265 means a rebuilt peer.
  x265_stamp="x265 $(sha256sum "$x265/lib/libx265.a" | cut -d' ' -f1)"
fi

name="ffmpeg-peer-$version$suffix"
prefix="$deps/$name"
stamp="$(printf '%s\n' "ffmpeg $version" "${options[@]}" "$x265_stamp")"


if [ -f "$prefix/configuration" ] && [ "$(cat "$prefix/configuration")" = "$stamp" ] &&
   [ -x "$prefix/bin/ffmpeg" ] && [ -x "$prefix/bin/ffprobe" ]; then
  [ "$(readlink "$link" 2>/dev/null)" = "$name" ] || qm_relink "$link" "$name"
  exit 0
fi

echo "setup: building the test peer FFmpeg $version${suffix:+ with x265} into $prefix"
work=$(mktemp -d "$deps/.ffmpeg-peer-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
qm_cached_orig sid ffmpeg "$tarball" "$work/$tarball"
tar -xJf "$work/$tarball" -C "$work"
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg*' | head -n 1)
[ -n "$source_dir" ] || { echo "setup: $tarball holds no ffmpeg folder" >&2; exit 1; }

(
  cd "$source_dir"
  if [ -n "$suffix" ]; then export PKG_CONFIG_PATH="$x265/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"; fi
  ./configure --prefix="$prefix" "${options[@]}" > "$work/configure.log" 2>&1 ||
    { tail -n 30 "$source_dir/ffbuild/config.log" >&2; echo "setup: configuring the peer FFmpeg failed" >&2; exit 1; }
  make -j "$(nproc)" > "$work/make.log" 2>&1 ||
    { tail -n 40 "$work/make.log" >&2; echo "setup: building the peer FFmpeg failed" >&2; exit 1; }
  make install-progs DESTDIR="$work/stage" > /dev/null
)
staged="$work/stage$prefix"
printf '%s\n' "$stamp" > "$staged/configuration"

# The finished prefix takes its place in one rename; a killed setup leaves only the work folder.
if [ -e "$prefix" ]; then mv -T "$prefix" "$work/replaced"; fi
mv -T "$staged" "$prefix"
qm_relink "$link" "$name"
echo "setup: peer FFmpeg ready: $prefix"
