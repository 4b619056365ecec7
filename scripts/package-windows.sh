#!/usr/bin/env bash
# Builds the zip a Windows user downloads, build-win-release/quill-<version>-windows-x64.zip:
# quill-cli.exe (one statically linked program, no stand-in kernels), README.txt and LICENSE.txt.
# Cross-compiled with Debian's mingw-w64; QUILL_SKIP_DEPS=1 leaves the package installation out.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${QUILL_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh windows
dir=build-win-release
cmake -S . -B "$dir" -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQUILL_TESTS=OFF -DQUILL_STANDIN_KERNELS=OFF
cmake --build "$dir" -j "$(nproc)" --target quill-cli
exe="$dir/cli/quill-cli.exe"
# Every stand-in begins with the marker QKRN; none may reach a real chip from this program.
if grep -q QKRN "$exe"; then
  echo "package-windows: $exe carries stand-in kernels" >&2
  exit 1
fi
version="$(sed -n 's/^project(quill VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
name="quill-$version-windows-x64"
stage="$dir/$name"
rm -rf "$stage" "$dir/$name.zip"
mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/quill-cli.exe" "$exe"
# Text files with the line ends Notepad expects.
sed 's/$/\r/' resources/README-windows.txt > "$stage/README.txt"
sed 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
(cd "$dir" && cmake -E tar cf "$name.zip" --format=zip "$name")
ls -l "$PWD/$dir/$name.zip"
