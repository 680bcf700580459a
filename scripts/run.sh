#!/usr/bin/env bash
# The run command: installs what is needed, builds into build/ and starts Quillmere with the given
# files (they are opened as if chosen in the file manager).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh --app
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)" --target quillmere
exec "$root/build/bin/quillmere" "$@"
