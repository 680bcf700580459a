#!/usr/bin/env bash
# Times the strip builder on a 400-paragraph Word list and on LibreOffice's PDF of it, next to
# pdftoppm rendering the same pages at the same width. Usage: bench/credits_strip_bench.sh [BUILD] [RUNS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
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
