#!/usr/bin/env bash
# Mutation run: applies each mutant of LIST to the source in turn, rebuilds the module's test
# programs in BUILD, runs them, and counts the mutants they kill. Usage:
#   bench/mutation/mutate.sh BUILD LIST
# LIST: "# tests: <test program> ..." and one mutant a line, tab-separated:
#   <file under src/>  <line>  <text on that line>  <replacement>
# A mutant that does not compile is counted apart. The source is restored after each mutant.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build=$(realpath "$1")
list=$2
read -ra tests < <(sed -n 's/^# tests: //p' "$list")
killed=0 survived=0 stillborn=0
current=""
restore() { [ -n "$current" ] && cp "$current.orig" "$current" && rm -f "$current.orig"; current=""; }
trap restore EXIT
while IFS=$'\t' read -r file line old new; do
  [[ -z "$file" || "$file" == \#* ]] && continue
  current="$root/src/$file"
  cp "$current" "$current.orig"
  if ! python3 - "$current" "$line" "$old" "$new" <<'PY'
import sys
path, line, old, new = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
lines = open(path).read().split('\n')
if old not in lines[line - 1]: sys.exit(f"{path}:{line} does not hold {old!r}")
lines[line - 1] = lines[line - 1].replace(old, new, 1)
open(path, 'w').write('\n'.join(lines))
PY
  then restore; exit 2; fi
  verdict=survived
  if ! cmake --build "$build" -j3 --target "${tests[@]}" > /dev/null 2>&1; then
    verdict=stillborn
  else
    for t in "${tests[@]}"; do
      program=$(find "$build/tests" -name "$t" -type f -executable | head -n 1)
      if ! QT_QPA_PLATFORM=offscreen timeout 600 "$program" --gtest_brief=1 > /dev/null 2>&1; then
        verdict=killed; break
      fi
    done
  fi
  case $verdict in killed) killed=$((killed + 1));; survived) survived=$((survived + 1));; *) stillborn=$((stillborn + 1));; esac
  printf '%-9s %s:%s  %s -> %s\n' "$verdict" "$file" "$line" "$old" "$new"
  restore
done < "$list"
echo "killed $killed, survived $survived, did not compile $stillborn"
