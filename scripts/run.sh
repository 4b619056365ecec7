#!/usr/bin/env bash
# Installs the dependencies, builds QUILL and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
dir="${QUILL_BUILD_DIR:-build}"

# True when a serial adapter of the kinds a target board is attached by (USB serial, USB modem)
# can be opened. The machine's own UARTs (/dev/ttyS*) do not count: nothing tells whether a board
# is on them.
real_port_present() {
  local dev
  for dev in /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* /dev/ttyXRUSB[0-9]* /dev/rfcomm[0-9]*; do
    [ -e "$dev" ] && stty -F "$dev" >/dev/null 2>&1 && return 0
  done
  return 1
}

if [ -x "$dir/app/quill" ]; then
  if [ -x "$dir/sim/quill-sim" ] && ! real_port_present; then
    # No board attached: a simulated TX-A10 in boot mode announces its port for the wizard's port
    # list, and ends when the wizard does.
    sim_out="$(mktemp)"
    "$dir/sim/quill-sim" --state boot >"$sim_out" &
    sim_pid=$!
    trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -f "$sim_out"' EXIT
    for _ in $(seq 50); do
      [ "$(wc -l <"$sim_out")" -ge 2 ] && break
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ "$(wc -l <"$sim_out")" -ge 2 ]; then
      echo "No serial adapter found: a simulated board (TX-A10, boot mode) is on $(sed -n 2p "$sim_out")"
    fi
  fi
  "$dir/app/quill" "$@"
  exit $?
fi
exec "$dir/cli/quill-cli" "${@:-devices}"
