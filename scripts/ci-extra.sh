#!/usr/bin/env bash
# The checks CI runs after scripts/test.sh:
#   1. the whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer (clang) and run;
#   2. each libFuzzer target (built in the same tree) fuzzed for a bounded time from its seed
#      corpus in fuzz/corpus/;
#   3. the link, simulated-board and reliability tests built with ThreadSanitizer and run.
# Any sanitizer report, fuzzer finding or failed test fails the script.
#
# Environment: QUILL_FUZZ_SECONDS (default 60) per fuzz target; QUILL_EXTRA_BUILD_PREFIX
# (default build-) for the build folders <prefix>asan and <prefix>tsan; QUILL_EXTRA_STEPS
# (default "asan fuzz tsan") to run only some of the steps.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
prefix="${QUILL_EXTRA_BUILD_PREFIX:-build-}"
steps=" ${QUILL_EXTRA_STEPS:-asan fuzz tsan} "
fuzz_seconds="${QUILL_FUZZ_SECONDS:-60}"
# Sanitizer builds run at -O1: fast enough to run, quick to build, and still precise in reports.
common=(-G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1")

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
export QT_QPA_PLATFORM=offscreen

stamp() { echo "== $(date +%T) $*"; }

if [[ "$steps" == *" asan "* || "$steps" == *" fuzz "* ]]; then
  stamp "AddressSanitizer + UndefinedBehaviorSanitizer build (clang, with the fuzz targets)"
  cmake -S . -B "${prefix}asan" "${common[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DQUILL_SANITIZE="address;undefined" -DQUILL_FUZZ=ON
  cmake --build "${prefix}asan" -j "$jobs"
fi

if [[ "$steps" == *" asan "* ]]; then
  stamp "the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer"
  ctest --test-dir "${prefix}asan" --output-on-failure -j "$jobs" --timeout 300
fi

if [[ "$steps" == *" fuzz "* ]]; then
  for target in srec fields board; do
    stamp "fuzzing $target for ${fuzz_seconds} s"
    # The seeds stay as they are; what the run finds goes to a scratch corpus.
    work="$(mktemp -d)"
    if ! "${prefix}asan/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -max_len=4096 \
      -timeout=20 -print_final_stats=1 -artifact_prefix="$work/" "$work" "fuzz/corpus/$target" \
      > "$work/log" 2>&1; then
      tail -n 80 "$work/log"
      echo "fuzz_$target found a fault; the input that shows it is in $work" >&2
      exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log" || true
    rm -rf "$work"
  done
fi

if [[ "$steps" == *" tsan "* ]]; then
  stamp "ThreadSanitizer build of the link, board and reliability tests"
  cmake -S . -B "${prefix}tsan" "${common[@]}" -DQUILL_SANITIZE=thread -DQUILL_GUI=OFF
  cmake --build "${prefix}tsan" -j "$jobs" --target test_link test_link_slow test_sim \
    test_fault_matrix test_unplug test_soak
  stamp "the link, board and reliability tests under ThreadSanitizer"
  # Test executables left unbuilt here appear as *_NOT_BUILT entries.
  ctest --test-dir "${prefix}tsan" --output-on-failure -j "$jobs" --timeout 300 -E NOT_BUILT
fi
stamp "done"
