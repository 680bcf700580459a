#!/usr/bin/env bash
# Installs the build into a temporary prefix and asks the desktop's own tools what they make of it.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix/usr" > /dev/null
share=$prefix/usr/share
fail() { echo "$*" >&2; exit 1; }

libs=$(ldd "$prefix/usr/bin/quillmere")
[[ $libs != *"not found"* ]] || fail "the installed program misses libraries: $libs"
[[ $libs == *"libquillmere_lgpl"*" => $prefix/usr/"* ]] || fail "the codec library is not the installed one: $libs"
test -s "$share/quillmere/dictionaries/OpenCC-TSPhrases.txt" || fail "no dictionaries"
test -s "$share/icons/hicolor/scalable/apps/quillmere.svg" || fail "no icon"
desktop-file-validate "$share/applications/quillmere.desktop"
update-mime-database "$share/mime" > /dev/null
update-desktop-database "$share/applications" > /dev/null

export XDG_DATA_DIRS="$share:/usr/share" XDG_DATA_HOME="$prefix/home" XDG_CONFIG_HOME="$prefix/home"
docs=$prefix/docs
mkdir -p "$docs/Show.qmpack" "$docs/Roll.qmcredits" "$docs/names"
echo '{}' > "$docs/Show.qmproj"
touch "$docs/names/Show.qmpack" "$docs/names/Roll.qmcredits"
expect() { got=$(xdg-mime query filetype "$1"); [ "$got" = "$2" ] || fail "$1 is $got, not $2"; }
expect "$docs/Show.qmproj" application/x-quillmere-project
# shared-mime-info matches names against files only: every folder is inode/directory, so the
# package types are known by name (as file managers that look at names use them), not for folders.
expect "$docs/names/Show.qmpack" inode/x-quillmere-project-package
expect "$docs/names/Roll.qmcredits" inode/x-quillmere-credits
for type in application/x-quillmere-project inode/x-quillmere-project-package inode/x-quillmere-credits; do
  [ "$(xdg-mime query default $type)" = quillmere.desktop ] || fail "quillmere does not open $type"
done
