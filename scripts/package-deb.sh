#!/usr/bin/env bash
# Builds the Debian package quill_<version>_amd64.deb into the build folder (build/, or
# $QUILL_BUILD_DIR): the three programs, the desktop entry and icons, the manual pages, bash
# completion for quill-cli, the empty system-wide kernel store and the Python module quill (for
# Debian's python3, in /usr/lib/python3/dist-packages), with the dependencies taken
# from the programs' shared libraries (among them libsqlite3-0 and libpq5, the record store's).
# Install it with: sudo apt install ./build/quill_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${QUILL_BUILD_DIR:-build}"
scripts/build.sh
cd "$dir"
cpack -G DEB
ls "$PWD"/quill_*_amd64.deb
