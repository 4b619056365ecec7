#!/usr/bin/env bash
# CI: the Windows build (mingw-w64) and its tests under wine, after the Linux suite:
#  0. the static Qt for the wizard (scripts/build-qt-windows.sh) and the static SQLite of the
#     record store (scripts/build-sqlite-windows.sh): built once per machine into their cache
#     folders, ${XDG_CACHE_HOME:-~/.cache}/quill (about 20 minutes and one minute on two cores),
#     then taken from there;
#  1. the core's unit tests, the Windows serial unit's and the wizard's tests that need no
#     simulated board, built for Windows, run under wine (the wizard's on Qt's windows platform,
#     on an X server without a screen; this build keeps the stand-in kernels, whose table the
#     unit tests check);
#  2. the zip and the installer a Windows user downloads (scripts/package-windows.sh):
#     quill.exe and quill-cli.exe without stand-in kernels;
#  3. that very quill-cli.exe under wine against the simulated board, with a kernel set installed
#     in the wine prefix, compared with the Linux build's quill-cli, and that very quill.exe
#     walked by keyboard through a boot-mode programming and a user-mode erase; the installer's
#     tables read back, and its silent install, upgrade and removal in a wine prefix, with the
#     installed quill.exe walked likewise (tests/wine/msi_test.sh; the native build in build/, or
#     $QUILL_BUILD_DIR, gets the test program and the simulated board).
# Each stage's time is printed as it ends. QUILL_CI_WIZARD=0 leaves the wizard out: no Qt, and
# quill-cli.exe alone in its build, its tests and its zip (and no installer).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
native="${QUILL_BUILD_DIR:-build}"
win=build-win
start=$SECONDS
stage_done() { echo "ci-windows: $1 ($((SECONDS - start)) s)"; start=$SECONDS; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export WINEPREFIX="$(mktemp -d)/prefix"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$(dirname "$WINEPREFIX")"' EXIT

QUILL_SKIP_DEPS=1 scripts/build-sqlite-windows.sh
stage_done "SQLite for mingw-w64"
wizard="${QUILL_CI_WIZARD:-1}"
if [ "$wizard" = 1 ]; then
  QUILL_SKIP_DEPS=1 scripts/build-qt-windows.sh
  stage_done "Qt for mingw-w64"
  gui=ON
else
  gui=OFF
  export QUILL_CLI_ONLY=1
fi

# The unit tests check the stand-in table, so this build keeps it; what is shipped does not.
# --fresh: the toolchain file looks for the Qt again (it may have been built since).
cmake --preset windows -B "$win" --fresh -DQUILL_STANDIN_KERNELS=ON -DQUILL_GUI=$gui
cmake --build "$win" -j "$(nproc)"
stage_done "Windows build"
# The prefix is made before the tests, with its background services detached from ctest's
# output (ctest waits for every holder of that pipe), and its server kept up between programs;
# all of it on one X server, which the prefix's desktop keeps until the server is stopped.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  wineserver -p
  wine wineboot -i >/dev/null 2>&1
  status=0
  (cd "$1" && ctest --output-on-failure --timeout 300) || status=$?
  wineserver -k
  exit $status' ci-windows "$win"
stage_done "Windows tests under wine"

QUILL_SKIP_DEPS=1 scripts/package-windows.sh
stage_done "the zip and the installer"
shipped="$(ls -d "$PWD"/build-win-release/quill-*-windows-x64)"
wizard_exe=""
msi=""
if [ "$wizard" = 1 ]; then
  wizard_exe="$shipped/quill.exe"
  msi="$shipped.msi"
fi
cmake -S . -B "$native" -DQUILL_WINDOWS_CLI="$shipped/quill-cli.exe" \
  -DQUILL_WINDOWS_WIZARD="$wizard_exe" -DQUILL_WINDOWS_MSI="$msi"
cmake --build "$native" -j "$(nproc)" --target test_wine_cli quill-sim
(cd "$native" && ctest -L wine --output-on-failure --timeout 600)
stage_done "the shipped programs under wine"
