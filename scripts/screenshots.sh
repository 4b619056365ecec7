#!/usr/bin/env bash
# Regenerates the pictures of README.md: builds the wizard and quill-screenshots (into build/, or
# the folder in $QUILL_BUILD_DIR) and walks the real wizard on Qt's offscreen platform through
# every page against a simulated board, saving docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${QUILL_BUILD_DIR:-build}"
cmake -S . -B "$dir" -G Ninja -DQUILL_GUI=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target quill-screenshots
# The tour's own pictures only: wine-configure.png comes from the walk under wine
# (tests/wine/wizard_walk.sh).
rm -f docs/screenshots/[0-9][0-9]-*.png
QT_QPA_PLATFORM=offscreen "$dir/docs/quill-screenshots" docs/screenshots
