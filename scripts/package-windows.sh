#!/usr/bin/env bash
# Builds what a Windows user downloads, into build-win-release/: the zip
# quill-<version>-windows-x64.zip, with quill.exe (the wizard) and quill-cli.exe, each one
# statically linked program without stand-in kernels, README.txt and LICENSE.txt, and the
# installer quill-<version>-windows-x64.msi with the same files (scripts/make-msi.sh; the folder
# quill-<version>-windows-x64 beside them holds the files as well). Cross-compiled with Debian's mingw-w64; the wizard needs
# the static Qt that scripts/build-qt-windows.sh builds, and the zip is refused without it unless
# QUILL_CLI_ONLY=1 asks for quill-cli.exe alone. Both carry SQLite for their records, built by
# scripts/build-sqlite-windows.sh (once; later runs take it from its cache). QUILL_SKIP_DEPS=1
# leaves the package installation out.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${QUILL_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh windows
QUILL_SKIP_DEPS=1 scripts/build-sqlite-windows.sh >/dev/null
dir=build-win-release
programs=(cli/quill-cli.exe)
gui=ON
if [ "${QUILL_CLI_ONLY:-0}" = 1 ]; then
  gui=OFF
else
  programs+=(app/quill.exe)
fi
# cmake/windows.cmake finds the Qt of scripts/build-qt-windows.sh; QUILL_GUI=ON makes its absence
# an error instead of a zip without the wizard.
cmake -S . -B "$dir" -G Ninja --toolchain cmake/windows.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQUILL_TESTS=OFF -DQUILL_STANDIN_KERNELS=OFF -DQUILL_GUI=$gui
targets=()
for program in "${programs[@]}"; do targets+=("$(basename "$program" .exe)"); done
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
# Every stand-in begins with the marker QKRN; none may reach a real chip from these programs.
for program in "${programs[@]}"; do
  if grep -q QKRN "$dir/$program"; then
    echo "package-windows: $dir/$program carries stand-in kernels" >&2
    exit 1
  fi
done
version="$(sed -n 's/^project(quill VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
name="quill-$version-windows-x64"
stage="$dir/$name"
rm -rf "$stage" "$dir/$name.zip"
mkdir -p "$stage"
for program in "${programs[@]}"; do
  x86_64-w64-mingw32-strip -o "$stage/$(basename "$program")" "$dir/$program"
done
# Text files with the line ends Notepad expects.
sed 's/$/\r/' resources/README-windows.txt > "$stage/README.txt"
sed 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
(cd "$dir" && cmake -E tar cf "$name.zip" --format=zip "$name")
ls -l "$PWD/$dir/$name.zip"
# The installer's Start menu shortcut leads to the wizard: without it, there is no installer.
rm -f "$dir/$name.msi"
if [ "$gui" = ON ]; then
  scripts/make-msi.sh "$stage" "$version" "$dir/$name.msi"
  ls -l "$PWD/$dir/$name.msi"
fi
