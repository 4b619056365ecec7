#!/usr/bin/env bash
# CI: builds the Debian package, installs it with apt as a user would, checks the installed
# programs and manual page, and removes it again. Runs after scripts/test.sh (same build folder).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
scripts/package-deb.sh
deb="$(ls "$PWD/${QUILL_BUILD_DIR:-build}"/quill_*_amd64.deb)"
apt-get install -y --no-install-recommends "$deb"
trap 'apt-get remove -y quill >/dev/null' EXIT
(cd / && quill-cli --version && quill-cli devices >/dev/null && man -w quill-cli quill quill-sim)
# The Python module, for Debian's python3 (not a python3 of pyenv or a virtual environment).
(cd / && /usr/bin/python3 -c "import quill; print(quill.__version__)")
test -d /usr/share/quill/fpcode
test -f /usr/share/bash-completion/completions/quill-cli
test -f /usr/share/doc/quill/copyright
grep -q 'ATTR{latency_timer}="1"' /usr/lib/udev/rules.d/99-quill-ftdi-latency.rules
depends="$(dpkg-deb --field "$deb" Depends)"
echo "$depends"
# The record store's libraries come with the package.
for library in libsqlite3-0 libpq5; do
  [[ $depends == *"$library"* ]] || { echo "the package does not depend on $library"; exit 1; }
done
apt-get remove -y quill
trap - EXIT
echo "Debian package: installed, checked and removed"
