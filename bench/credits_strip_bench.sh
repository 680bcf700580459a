#!/usr/bin/env bash
# Times the strip builder on a 400-paragraph Word list and on LibreOffice's PDF of it, next to
# pdftoppm rendering the same pages at the same width. Usage: bench/credits_strip_bench.sh [BUILD] [RUNS]
#
# With --scaling, the time and peak memory of one build against the list's size instead: names
# split by line breaks, a paragraph each, in a two-column table, and on PDF pages of 40, in a
# 320-pixel column at 50 % text (so that 100,000 lines still fit a strip); then the lists too
# large for the default 1152-pixel column, which must be refused in seconds.
# Usage: bench/credits_strip_bench.sh --scaling [BUILD] [TIMEOUT]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if [ "${1:-}" = "--scaling" ]; then
  build="${2:-$here/../build}"
  limit="${3:-300}"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  echo '{"width": 640, "contentWidthPercent": 50, "textScalePercent": 50}' > "$work/small.json"
  echo '{}' > "$work/default.json"
  measure() {  # KIND SIZE FILE SETTINGS
    local result
    result="$( { /usr/bin/time -f "TIME %e %M" timeout "$limit" "$build/bench/qm-bench" credits-strip "$3" \
                 --settings "$4" --out - 2>&1 || true; } | grep -E "^strip|^TIME|too large|[Cc]an|Command" || true)"
    local outcome time_line
    outcome="$(echo "$result" | grep -v "^TIME" | head -1 | cut -c1-90)"
    time_line="$(echo "$result" | grep "^TIME" | tail -1)"
    printf "%-10s %8s  %8s s  %7s MB  %s\n" "$1" "$2" "$(echo "$time_line" | awk '{print $2}')" \
      "$(echo "$time_line" | awk '{printf "%.0f", $3 / 1024}')" "${outcome:-(no result within ${limit} s)}"
  }
  printf "%-10s %8s  %10s  %10s  %s\n" kind size time peak outcome
  for kind in breaks paragraphs cells pages; do
    case $kind in
      pages) sizes="30 100 300 1000 3000"; ext=pdf ;;
      cells) sizes="1000 3000 10000 30000 100000"; ext=docx ;;
      *) sizes="1000 3000 10000 30000 100000"; ext=docx ;;
    esac
    for n in $sizes; do
      /usr/bin/python3 "$here/credits_strip_list.py" --kind $kind "$work/list.$ext" "$n"
      measure $kind "$n" "$work/list.$ext" "$work/small.json"
    done
  done
  echo "== too large for the default column"
  for spec in "breaks 30000 docx" "breaks 100000 docx" "square 1000 docx" "bloat 200 docx" "pages 5000 pdf"; do
    set -- $spec
    /usr/bin/python3 "$here/credits_strip_list.py" --kind "$1" "$work/big.$3" "$2"
    measure "$1" "$2" "$work/big.$3" "$work/default.json"
  done
  exit 0
fi
build="${1:-$here/../build}"
runs="${2:-5}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$here/credits_strip_list.py" "$work/list.docx" 400
soffice -env:UserInstallation="file://$work/profile" --headless --convert-to pdf --outdir "$work" "$work/list.docx" > /dev/null 2>&1
echo '{}' > "$work/settings.json"   # 1920 pixels at 60 %: a 1152-pixel column
width=1152
pages="$(pdfinfo "$work/list.pdf" | awk '/^Pages:/ {print $2}')"
pagewidth="$(pdfinfo "$work/list.pdf" | awk '/^Page size:/ {print $3}')"
dpi="$(python3 -c "print(72 * $width / $pagewidth)")"

for doc in list.docx list.pdf; do
  echo "== $doc"
  /usr/bin/time -f "peak %M KiB" "$build/bench/qm-bench" credits-strip "$work/$doc" --settings "$work/settings.json" \
    --out "$work/strip.png" --repeat "$runs" 2>&1 | grep -E "^strip|^build|^peak"
done

best=""
for _ in $(seq "$runs"); do
  start=$(date +%s.%N)
  pdftoppm -cropbox -r "$dpi" "$work/list.pdf" "$work/page"
  ms=$(python3 -c "print(round(($(date +%s.%N) - $start) * 1000, 1))")
  if [ -z "$best" ] || python3 -c "import sys; sys.exit(0 if $ms < $best else 1)"; then best=$ms; fi
done
echo "== pdftoppm -cropbox -r $dpi: $pages pages, best ${best} ms"
