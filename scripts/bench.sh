#!/usr/bin/env bash
# Builds a Release tree (build-rel/, or the folder in $QUILL_BENCH_DIR) and prints the table of
# benchmark ratios. Arguments go to bench/run_bench.py (--quick for a smoke run).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${QUILL_BENCH_DIR:-build-rel}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILL_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target quill-cli quill-sim quill-bench-line \
  $(cmake --build "$dir" --target help | grep -q 'quill-bench-wizard' && echo quill-bench-wizard)
python3 bench/run_bench.py --build "$dir" "$@"
