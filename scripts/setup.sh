#!/usr/bin/env bash
# Installs every Debian package the project needs, then builds what Debian 12 has too old from
# Debian's newer source packages: x265 with its alpha layer, the decoder of HEVC alpha layers and the
# test peer FFmpeg. Idempotent: apt runs only when something is missing, each build only when its
# version or configuration changed. With --app it leaves out the peer FFmpeg, which only the tests
# use, so that the run command starts the application without building it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mapfile -t wanted < <(grep -v '^\s*#' "$here/packages.txt" | sed '/^\s*$/d')

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Built from Debian's sources rather than installed, into a cache outside the checkout. x265 comes
# first: the peer links it when it is there.
bash "$here/build_x265.sh"
# Without the private decoders the program still builds; it then reads HEVC with alpha without the
# alpha, and H.264 with Debian's decoder, as Debian's FFmpeg does.
bash "$here/build_hevc_alpha_decoder.sh" ||
  echo "setup: the private decoders are not built; HEVC-with-alpha sources will be read without their alpha" >&2
if [ "${1:-}" != "--app" ]; then
  bash "$here/build_peer_ffmpeg.sh"
fi
