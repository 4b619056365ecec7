#!/usr/bin/env bash
# Installs the dependencies, builds QUILL and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
dir="${QUILL_BUILD_DIR:-build}"
if [ -x "$dir/app/quill" ]; then
  exec "$dir/app/quill" "$@"
fi
exec "$dir/cli/quill-cli" "${@:-devices}"
