#!/usr/bin/env bash
# Builds the HEVC encoder that writes an alpha layer: x265 from Debian's trixie source, static, 8-bit,
# with its alpha option on (Debian's own packages leave it off) and our patches in scripts/patches/,
# into the dependency cache. Does nothing when that build, with those patches, is there already.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/debian_source.sh"

version=4.1
tarball="x265_$version.orig.tar.xz"
sha256=85abb8a850000bf693947459c42a666a3ecd6de10a2ac6b3c6647554b14d3270
deps="$(qm_deps_dir)"
prefix="$deps/x265-$version-alpha"
patches=("$here"/patches/x265-*.patch)
# The stamp names the tarball and every patch, so a changed patch rebuilds the library.
stamp="$(printf '%s\n' "$sha256"; sha256sum "${patches[@]}" | cut -d' ' -f1)"
[ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$stamp" ] && exit 0

echo "setup: building x265 $version with alpha into $prefix"
mkdir -p "$deps"
work=$(mktemp -d "$deps/.x265-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
qm_fetch_orig trixie x265 "$tarball" "$sha256" "$work/$tarball"
tar -xf "$work/$tarball" -C "$work"
source_dir=$(find "$work" -mindepth 2 -maxdepth 2 -name source -type d | head -n 1)
[ -n "$source_dir" ] || { echo "setup: $tarball holds no source folder" >&2; exit 1; }
for patch in "${patches[@]}"; do
  patch -d "$(dirname "$source_dir")" -p1 --quiet --forward < "$patch" ||
    { echo "setup: $(basename "$patch") does not apply to x265 $version" >&2; exit 1; }
done
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DENABLE_SHARED=OFF -DENABLE_CLI=OFF -DENABLE_ALPHA=ON -DHIGH_BIT_DEPTH=OFF \
  -DENABLE_LIBNUMA=OFF -DENABLE_PIC=ON -DCMAKE_INSTALL_PREFIX="$work/prefix" > "$work/configure.log"
cmake --build "$work/build" -j "$(nproc)" > "$work/build.log" ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" > /dev/null
# The installed pkg-config file names the temporary prefix; point it at the final one.
sed -i "s|^prefix=.*|prefix=$prefix|" "$work/prefix/lib/pkgconfig/x265.pc"
printf '%s\n' "$stamp" > "$work/prefix/.complete"
rm -rf "$prefix"
mv "$work/prefix" "$prefix"
echo "setup: x265 $version with alpha is in $prefix"
