#!/usr/bin/env bash
# Builds the SQLite that quill-cli.exe and quill.exe keep their records with: Debian's own sqlite3
# source, of the version of the installed libsqlite3-dev (the Linux build's), with Debian's
# patches; its amalgamation (sqlite3.c, sqlite3.h) made on the host (its C compiler and tclsh),
# then compiled with mingw-w64 into a static libsqlite3.a, so the programs need no DLL. Installed
# with sqlite3.h into ${XDG_CACHE_HOME:-~/.cache}/quill/sqlite3-mingw-<source version>
# (include/, lib/). Debian ships no SQLite for mingw-w64. A second run finds the finished folder
# and does nothing.
#   QUILL_SKIP_DEPS=1 leaves the package installation out
# Prints the folder on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "${QUILL_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh windows >/dev/null

version="$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quill"
dest="$cache/sqlite3-mingw-$version"
if [ -f "$dest/.complete" ]; then
  echo "build-sqlite-windows: SQLite $version for mingw-w64 is already built"
  echo "$dest"
  exit 0
fi
start=$SECONDS

. scripts/deb-src.sh
quill_deb_src || true

# The work folder stays after a failure so that a rerun can be looked into; it goes on success.
work="$cache/sqlite3-mingw-$version.work"
rm -rf "$work" "$dest"
mkdir -p "$work"
cd "$work"
apt-get source -qq "sqlite3=$version" >/dev/null 2>source.log || {
  cat source.log >&2
  exit 1
}
src="$(find "$PWD" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)"

# The amalgamation is source, the same for every target: made by a configuration for the host.
mkdir amalgamation
(cd amalgamation && "$src/configure" --disable-tcl --disable-readline >configure.log 2>&1 &&
  make TCLSH_CMD=tclsh8.6 sqlite3.c sqlite3.h >make.log 2>&1) || {
  tail -n 40 amalgamation/configure.log amalgamation/make.log >&2
  exit 1
}

# Debian's own choices where they matter here: thread-safe, secure delete, URIs; no extension
# loading, since nothing of the programs loads one.
x86_64-w64-mingw32-gcc-posix -O2 -fno-strict-aliasing -DSQLITE_THREADSAFE=1 \
  -DSQLITE_SECURE_DELETE -DSQLITE_USE_URI=1 -DSQLITE_MAX_SCHEMA_RETRY=25 \
  -DSQLITE_OMIT_LOAD_EXTENSION -c amalgamation/sqlite3.c -o sqlite3.o
mkdir -p "$dest/include" "$dest/lib"
x86_64-w64-mingw32-ar rcs "$dest/lib/libsqlite3.a" sqlite3.o
cp amalgamation/sqlite3.h "$dest/include/"
cp "$src/LICENSE.md" "$dest/"
touch "$dest/.complete"
cd "$cache"
rm -rf "$work"
echo "build-sqlite-windows: SQLite $version built for mingw-w64 ($((SECONDS - start)) s)"
echo "$dest"
