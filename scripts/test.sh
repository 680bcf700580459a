#!/usr/bin/env bash
# The test command: installs what is needed, builds into build/ and runs every test, builds the
# whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and runs
# every test there, then builds the fuzz targets into build-fuzz/ and runs each one briefly.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
# The three build trees take about 16 GB; a full disk shows only as compilers failing late in the
# sanitizer build, so say it first.
free_gb=$(( $(df -Pk . | awk 'NR == 2 { print $4 }') / 1048576 ))
if [ "$free_gb" -lt 20 ]; then
  echo "test.sh: only ${free_gb} GB free on this file system; building every tree needs about 16 GB" >&2
fi
# Paths below the checkout are hashed relative to it, so a fresh clone hits the same ccache entries.
export CCACHE_BASEDIR="$root"

jobs="$(nproc)"
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR="$werror"
cmake --build build -j "$jobs"
# A test that fails is run once more before the run counts as failed: the playback-sound and
# encoder peer tests work against the real clock and can miss under a machine's full load.
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600 --repeat until-pass:2)

if [ "${QM_SKIP_SANITIZE:-}" != "1" ]; then
  # Qt and fontconfig keep caches until exit, which LeakSanitizer would report; everything else
  # that ASan or UBSan finds stops the test.
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=ON -DQM_WERROR="$werror"
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 900 --repeat until-pass:2)
fi

if [ "${QM_SKIP_FUZZ:-}" != "1" ]; then
  # The fuzz tree links the private decoders instrumented as it is itself. Where setup could not
  # build them at all, there is no fuzz target for them either.
  if (source scripts/debian_source.sh && [ -e "$(qm_deps_dir)/ffmpeg-decoders/lib/libavcodec.a" ]); then
    bash scripts/build_hevc_alpha_decoder.sh fuzz
  fi
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON -DQM_WERROR="$werror"
  cmake --build build-fuzz -j "$jobs"
  fuzz_seconds="${QM_FUZZ_SECONDS:-20}"
  export LSAN_OPTIONS="suppressions=$root/tests/fuzz/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  # Each target runs on one core: as many at once as there are cores.
  fuzz_one() {
    local target="$1" corpus="build-fuzz/corpus/$1" seeds=()
    mkdir -p "$corpus"
    if [ -d "tests/fuzz/seeds/$target" ]; then seeds=("tests/fuzz/seeds/$target"); fi
    if "build-fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 \
         -print_final_stats=1 "$corpus" "${seeds[@]}" > "build-fuzz/$target.log" 2>&1; then
      echo "fuzz: $target for ${fuzz_seconds}s: $(grep -E '^stat::number_of_executed_units' "build-fuzz/$target.log" || true)"
    else
      echo "fuzz: $target found a fault:"
      tail -n 60 "build-fuzz/$target.log"
      touch "build-fuzz/$target.failed"
    fi
  }
  rm -f build-fuzz/*.failed
  running=0
  while read -r target; do
    [ -n "$target" ] || continue
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
    fuzz_one "$target" &
    running=$((running + 1))
  done < build-fuzz/fuzzers.txt
  wait
  total=$(grep -c . build-fuzz/fuzzers.txt || true)
  failed=$(find build-fuzz -maxdepth 1 -name '*.failed' | wc -l)
  passed=$((total - failed))
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
fi
