#!/usr/bin/env bash
# Installs every Debian package that building, running and testing QUILL needs.
# With the argument "windows" also what the Windows build and its tests need: the mingw-w64
# cross compiler and wine, for the wizard under wine an X server without a screen, keyboard
# input to its windows and screenshots, wixl and msitools to build and read the installer, and
# tclsh to make SQLite's amalgamation (scripts/ci-windows.sh, scripts/package-windows.sh,
# scripts/build-qt-windows.sh, scripts/build-sqlite-windows.sh).
# "--list [windows]" prints the packages, one a line, and installs nothing.
set -euo pipefail
list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config python3
  libgtest-dev libgmock-dev
  qt6-base-dev libgl-dev
  srecord libssl-dev nlohmann-json3-dev libcli11-dev binutils-mingw-w64-x86-64 libudev-dev
  clang libclang-rt-14-dev
  help2man bash-completion man-db file
  ser2net
  libsqlite3-dev libpq-dev postgresql-15
  pybind11-dev python3-dev python3-pytest
)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool imagemagick wixl msitools tcl8.6)
fi
if [ "$list_only" = 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
# Only what is missing is installed; with everything there, nothing is fetched at all.
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every package is installed"
  exit 0
fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
