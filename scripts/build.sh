#!/usr/bin/env bash
# Configures (the "dev" preset of CMakePresets.json) and builds QUILL into build/ (or the folder
# in $QUILL_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${QUILL_BUILD_DIR:-build}"
cmake --preset dev -B "$dir" "$@"
cmake --build "$dir" -j "$(nproc)"
