#!/usr/bin/env bash
# The checks CI runs after scripts/test.sh:
#   1. the whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer (clang) and run,
#      the Python module's tests with the sanitizer runtime preloaded into python3
#      (tests/python/CMakeLists.txt);
#   2. each libFuzzer target (built in the same tree) fuzzed for a bounded time from its seed
#      corpus in fuzz/corpus/;
#   3. the link, simulated-board and reliability tests built with ThreadSanitizer and run.
# Any sanitizer report, fuzzer finding or failed test fails the script.
#
# Environment: QUILL_FUZZ_SECONDS (default 40) per fuzz target; QUILL_EXTRA_BUILD_PREFIX
# (default build-) for the build folders <prefix>asan and <prefix>tsan; QUILL_EXTRA_STEPS
# (default "asan fuzz tsan") to run only some of the steps.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
prefix="${QUILL_EXTRA_BUILD_PREFIX:-build-}"
steps=" ${QUILL_EXTRA_STEPS:-asan fuzz tsan} "
fuzz_seconds="${QUILL_FUZZ_SECONDS:-40}"
# The core ships at -O2; the AddressSanitizer suite runs it unoptimised all the same (a third
# quicker to build, and the suite mostly waits on simulated boards), while the fuzz targets drive
# the core at -O1 (fuzz/CMakeLists.txt) and the plain suite of scripts/test.sh runs it at -O2. The
# ThreadSanitizer build, small but slow to run unoptimised, is at -O1. Line tables only.
# The builds are the "asan" and "tsan" presets of CMakePresets.json.

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
export QT_QPA_PLATFORM=offscreen

stamp() { echo "== $(date +%T) $*"; }

if [[ "$steps" == *" asan "* || "$steps" == *" fuzz "* ]]; then
  stamp "AddressSanitizer + UndefinedBehaviorSanitizer build (clang, with the fuzz targets)"
  cmake --preset asan -B "${prefix}asan"
  cmake --build "${prefix}asan" -j "$jobs"
fi

# Fuzzes one target for the bounded time, from its seeds; what the run finds goes to a scratch
# corpus, so the seeds stay as they are.
fuzz() {
  local target="$1" work
  work="$(mktemp -d)"
  if ! "${prefix}asan/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -max_len=4096 \
    -timeout=20 -print_final_stats=1 -artifact_prefix="$work/" "$work" "fuzz/corpus/$target" \
    > "$work/log" 2>&1; then
    tail -n 80 "$work/log"
    echo "fuzz_$target found a fault; the input that shows it is in $work" >&2
    return 1
  fi
  echo "fuzz_$target: $(grep -E '^Done' "$work/log")"
  rm -rf "$work"
}

# The suite spends most of its time waiting on the simulated boards, so the fuzz targets (one
# core each, one after another) run alongside it.
fuzz_pid=""
if [[ "$steps" == *" fuzz "* ]]; then
  stamp "fuzzing srec, fields, board, pe and board_model for ${fuzz_seconds} s each"
  ( for target in srec fields board pe board_model; do fuzz "$target" || exit 1; done ) &
  fuzz_pid=$!
fi
status=0
if [[ "$steps" == *" asan "* ]]; then
  stamp "the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer"
  ctest --test-dir "${prefix}asan" --output-on-failure -j "$jobs" --timeout 300 || status=1
fi
if [[ -n "$fuzz_pid" ]]; then
  wait "$fuzz_pid" || status=1
  stamp "fuzzing done"
fi
[[ $status -eq 0 ]] || exit 1

if [[ "$steps" == *" tsan "* ]]; then
  stamp "ThreadSanitizer build of the link, board and reliability tests"
  cmake --preset tsan -B "${prefix}tsan"
  cmake --build "${prefix}tsan" -j "$jobs" --target test_link test_link_slow test_sim \
    test_fault_matrix test_unplug test_soak
  stamp "the link, board and reliability tests under ThreadSanitizer"
  # Test executables left unbuilt here appear as *_NOT_BUILT entries; the completion script test
  # needs a quill-cli this build does not make.
  ctest --test-dir "${prefix}tsan" --output-on-failure -j "$jobs" --timeout 300 \
    -E "NOT_BUILT|^bash_completion$"
fi
stamp "done"
