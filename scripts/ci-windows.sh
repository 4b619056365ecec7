#!/usr/bin/env bash
# CI: the Windows build (mingw-w64) and its tests under wine, after the Linux suite:
#  1. the core's unit tests and the Windows serial unit's, built for Windows, run under wine
#     (this build keeps the stand-in kernels, whose table the unit tests check);
#  2. the zip a Windows user downloads (scripts/package-windows.sh): quill-cli.exe without
#     stand-in kernels;
#  3. that very quill-cli.exe under wine against the simulated board, with a kernel set installed
#     in the wine prefix, compared with the Linux build's quill-cli (the native build in build/,
#     or $QUILL_BUILD_DIR, gets the test program).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
native="${QUILL_BUILD_DIR:-build}"
win=build-win
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export WINEPREFIX="$(mktemp -d)/prefix"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null; rm -rf "$(dirname "$WINEPREFIX")"' EXIT

# The unit tests check the stand-in table, so this build keeps it; what is shipped does not.
cmake --preset windows -B "$win" -DQUILL_STANDIN_KERNELS=ON
cmake --build "$win" -j "$(nproc)"
# The prefix is made before the tests, with its background services detached from ctest's
# output (ctest waits for every holder of that pipe), and its server kept up between programs.
wineserver -p
wine wineboot -i >/dev/null 2>&1
(cd "$win" && ctest --output-on-failure --timeout 300)

QUILL_SKIP_DEPS=1 scripts/package-windows.sh
shipped="$(ls "$PWD"/build-win-release/quill-*-windows-x64/quill-cli.exe)"
cmake -S . -B "$native" -DQUILL_WINDOWS_CLI="$shipped"
cmake --build "$native" -j "$(nproc)" --target test_wine_cli
(cd "$native" && ctest -L wine --output-on-failure --timeout 600)
