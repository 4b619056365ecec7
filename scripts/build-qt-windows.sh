#!/usr/bin/env bash
# Builds the Qt that quill.exe links against: Debian's own qtbase source, cross-built with
# mingw-w64 for x86_64 Windows as a static, Widgets-only Qt (plus testlib for the GUI tests), and
# installed into ${XDG_CACHE_HOME:-~/.cache}/quill/qt6-mingw-<source version>. Debian ships no Qt
# for mingw-w64; its qtbase source cross-builds with the installed Qt of the same version as the
# host Qt (moc, uic, rcc). A second run finds the finished folder and does nothing.
#   QUILL_QT_JOBS   parallel compile jobs (default 2)
#   QUILL_SKIP_DEPS=1 leaves the package installation out
# Prints the folder on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${QUILL_QT_JOBS:-2}"

stage_start=$SECONDS
stage_done() {
  echo "build-qt-windows: $1 ($((SECONDS - stage_start)) s)"
  stage_start=$SECONDS
}

[ "${QUILL_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh windows >/dev/null
stage_done "packages"

# The host Qt's tools generate code for the cross-built Qt, so both come from one source version.
version="$(dpkg-query -W -f='${source:Version}' qt6-base-dev)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quill"
dest="$cache/qt6-mingw-$version"
if [ -f "$dest/.complete" ]; then
  echo "build-qt-windows: Qt $version for mingw-w64 is already built"
  echo "$dest"
  exit 0
fi

# apt-get source needs deb-src entries (scripts/deb-src.sh makes them where the machine has none).
. scripts/deb-src.sh
quill_deb_src || stage_done "deb-src entries added"

# The work folder stays after a failure so that a rerun can be looked into; it goes on success.
work="$cache/qt6-mingw-$version.work"
rm -rf "$work" "$dest"
mkdir -p "$work"
cd "$work"
apt-get source -qq "qt6-base=$version" >/dev/null 2>source.log || {
  cat source.log >&2
  exit 1
}
src="$(find . -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)"
stage_done "source qt6-base $version fetched and unpacked"

# Tablet events are off because the Debian source drops the wintab headers and mingw has none;
# DirectWrite 3 is off because with Direct2D off Qt 6.4 leaves its DirectWrite font database
# undefined. Everything the wizard does not use stays out; the libraries Qt bundles are used so
# that nothing is looked for in the host's system.
cmake -S "$src" -B build -G Ninja \
  --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR= \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$dest" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_testlib=ON \
  -DFEATURE_tabletevent=OFF -DFEATURE_directwrite3=OFF -DFEATURE_direct2d=OFF \
  -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_dbus=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_icu=OFF -DFEATURE_jpeg=OFF \
  -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF -DFEATURE_zstd=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_png=OFF -DFEATURE_system_doubleconversion=OFF \
  >configure.log 2>&1 || {
  tail -n 60 configure.log >&2
  exit 1
}
stage_done "configured"

cmake --build build -j "$jobs" >build.log 2>&1 || {
  tail -n 60 build.log >&2
  exit 1
}
stage_done "built with $jobs jobs"

cmake --install build >install.log 2>&1 || {
  tail -n 60 install.log >&2
  exit 1
}
touch "$dest/.complete"
cd "$cache"
rm -rf "$work"
stage_done "installed ($(du -sh "$dest" | cut -f1))"
echo "$dest"
