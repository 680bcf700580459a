#!/bin/sh
# Runs a test binary under de_DE.UTF-8, compiled into a temporary locale path for the run.
set -e
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
localedef -i de_DE -f UTF-8 "$dir/de_DE.UTF-8"
LOCPATH="$dir" LC_ALL=de_DE.UTF-8 "$@"
