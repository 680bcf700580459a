#!/usr/bin/env bash
# Fetches an upstream tarball from one of Debian's source suites without touching the machine's apt
# sources: the mirror comes from the machine's own Debian entry, and the suite's index goes into a
# private list folder under the dependency cache. Sourced by setup.sh.

# Where built dependencies live between runs (outside the checkout, so fresh clones reuse them).
qm_deps_dir() { echo "${QM_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmere-deps}"; }

# The machine's Debian mirror, from its deb822 entry (or a one-line sources.list entry).
qm_debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { echo "setup: no Debian source entry found in /etc/apt" >&2; return 1; }
  echo "$uri"
}

# qm_apt_suite SUITE: prints the apt options that read SUITE's source index from a private folder,
# refreshing that index once a day.
qm_apt_suite() {
  local suite="$1" dir
  dir="$(qm_deps_dir)/apt-$suite"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  local opts=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
              -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
              -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
  if [ ! -f "$dir/sources.list" ] || [ -z "$(find "$dir/lists" -name '*Sources*' -mmin -1440 2>/dev/null)" ]; then
    local mirror
    mirror=$(qm_debian_mirror) || return 1
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" > "$dir/sources.list"
    apt-get "${opts[@]}" update -qq >&2 || { echo "setup: could not read Debian's $suite source index" >&2; return 1; }
  fi
  printf '%s\n' "${opts[@]}"
}

# qm_orig_record SUITE PACKAGE FILE: prints "SHA256 DIRECTORY" of FILE of PACKAGE's source as listed
# in SUITE's index (the first version that lists it).
qm_orig_record() {
  local suite="$1" package="$2" file="$3"
  local -a opts
  mapfile -t opts < <(qm_apt_suite "$suite") || return 1
  [ ${#opts[@]} -gt 0 ] || return 1
  local record
  # One record per source version: its Directory and the tarball's SHA256, whichever comes first.
  record=$(apt-cache "${opts[@]}" showsrc "$package" 2>/dev/null | awk -v f="$file" '
    function emit() { if (!done && sha != "" && dir != "") { print sha, dir; done = 1; exit } sha = ""; dir = "" }
    /^$/ { emit(); next }
    /^Directory:/ { dir = $2 }
    /^Checksums-Sha256:/ { inside = 1; next }
    /^[^ ]/ { inside = 0 }
    inside && $3 == f { sha = $1 }
    END { emit() }')
  if [ -z "$record" ] || [ -z "${record%% *}" ]; then
    echo "setup: Debian $suite lists no $file for $package" >&2
    return 1
  fi
  echo "$record"
}

# qm_fetch_orig SUITE PACKAGE FILE SHA256 DEST: downloads FILE of PACKAGE's source as listed in SUITE's
# index to DEST and checks it against the index and, when SHA256 is not empty, against that pin.
qm_fetch_orig() {
  local suite="$1" package="$2" file="$3" pin="$4" dest="$5"
  local record listed directory mirror
  record=$(qm_orig_record "$suite" "$package" "$file") || return 1
  listed=${record%% *}
  directory=${record#* }
  if [ -n "$pin" ] && [ "$listed" != "$pin" ]; then
    echo "setup: Debian $suite lists $file with SHA256 $listed, expected $pin" >&2
    return 1
  fi
  mirror=$(qm_debian_mirror) || return 1
  /usr/lib/apt/apt-helper download-file "$mirror/$directory/$file" "$dest" "SHA256:$listed" >&2 ||
    { echo "setup: download of $file failed or its SHA256 differs from $listed" >&2; return 1; }
}

# qm_cached_orig SUITE PACKAGE FILE DEST: FILE of PACKAGE's source copied to DEST from the cache's
# sources folder, where it is fetched first when missing; builds that share a tarball (the test peer
# and the HEVC alpha decoder) fetch it once. A kept tarball is checked against the index again.
qm_cached_orig() {
  local suite="$1" package="$2" file="$3" dest="$4"
  local dir record
  dir="$(qm_deps_dir)/sources"
  mkdir -p "$dir"
  record=$(qm_orig_record "$suite" "$package" "$file") || return 1
  if [ -f "$dir/$file" ] && [ "$(sha256sum "$dir/$file" | cut -d' ' -f1)" != "${record%% *}" ]; then
    rm -f "$dir/$file"
  fi
  # Downloads of setups killed long ago.
  find "$dir" -maxdepth 1 -name '.fetch.*' -mmin +1440 -exec rm -rf {} + 2>/dev/null || true
  if [ ! -f "$dir/$file" ]; then
    local part
    part=$(mktemp -d "$dir/.fetch.XXXXXX")
    if ! qm_fetch_orig "$suite" "$package" "$file" "" "$part/$file"; then
      rm -rf "$part"
      return 1
    fi
    # Whole or not at all: a killed download leaves only its work folder.
    mv -f "$part/$file" "$dir/$file"
    rm -rf "$part"
    local old
    for old in "$dir/${package}_"*; do
      [ "$old" = "$dir/$file" ] || rm -f "$old"
    done
  fi
  cp "$dir/$file" "$dest"
}

# qm_newest_orig SUITE PACKAGE PREFIX: the newest upstream tarball name of PACKAGE in SUITE
# (PREFIX_<version>.orig.tar.xz).
qm_newest_orig() {
  local suite="$1" package="$2" prefix="$3"
  local -a opts
  mapfile -t opts < <(qm_apt_suite "$suite") || return 1
  apt-cache "${opts[@]}" showsrc "$package" 2>/dev/null |
    grep -oE "${prefix}_[0-9][0-9.]*\.orig\.tar\.xz" | sort -u | sort -t_ -k2 -V | tail -n 1
}

# qm_sid_ffmpeg_version WHAT: the version of the newest FFmpeg source Debian sid lists, which WHAT
# (words for the messages) needs at 8.1 or newer, the first to decode HEVC alpha layers. Fails,
# saying why, when the index is out of reach or lists an older one.
qm_sid_ffmpeg_version() {
  local tarball version
  if ! tarball=$(qm_newest_orig sid ffmpeg ffmpeg) || [ -z "$tarball" ]; then
    echo "setup: cannot find ffmpeg in Debian sid's source index" >&2
    return 1
  fi
  version=${tarball#ffmpeg_}
  version=${version%.orig.tar.xz}
  case "$version" in
    [0-7].* | 8.0 | 8.0.*)
      echo "setup: Debian sid lists ffmpeg $version; $1 needs 8.1 or newer" >&2
      return 1 ;;
  esac
  echo "$version"
}

# qm_relink LINK NAME: points LINK at the build folder NAME beside it in one rename, and removes the
# other builds of the same kind (LINK-*), which nothing points at any more.
qm_relink() {
  local link="$1" name="$2" old
  local staged
  staged="$(dirname "$link")/.$(basename "$link").new"
  ln -sfn "$name" "$staged"
  mv -T "$staged" "$link"
  for old in "$link"-*; do
    [ "$old" = "$(dirname "$link")/$name" ] || rm -rf "$old"
  done
}
