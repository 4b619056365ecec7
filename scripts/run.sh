#!/usr/bin/env bash
# Installs the dependencies, builds QUILL and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
# QUILL_RUN_SETUP=0 starts what is already built, without installing or building.
if [ "${QUILL_RUN_SETUP:-1}" != 0 ]; then
  scripts/install-deps.sh
  scripts/build.sh
fi
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
    # No board attached: a simulated board in boot mode announces its port for the wizard's port
    # list, and ends when the wizard does. It is the device, mode and clock range the wizard is
    # configured for (TX-A10, ">= 16 MHz" until the configuration page says otherwise), since a
    # boot ROM accepts only the kernel of its own clock range.
    conf="${XDG_CONFIG_HOME:-$HOME/.config}/Velmora/Quill.conf"
    # Before the first run of the wizard there is no settings file: the defaults apply.
    setting() { [ -r "$conf" ] && sed -n "s/^$1=//p" "$conf" | head -n 1 | tr -d '"' || true; }
    device="$(setting LastMCUType)"
    clock="$(setting LastClockSpeed)"
    mode="$(setting LastMCUMode)"
    case "$device" in TX-A10|TX-C30|TX-C31) ;; *) device=TX-A10 ;; esac
    case "$clock" in [0-8]) ;; *) clock=8 ;; esac
    sim_args=(--device "$device" --clock "$clock" --state boot)
    # TX-C31's modes are "Mode 2" and "Mode 3", stored by their index.
    if [ "$device" = TX-C31 ]; then
      case "$mode" in 1) sim_args+=(--mode 3) ;; *) sim_args+=(--mode 2) ;; esac
    fi
    sim_out="$(mktemp)"
    "$dir/sim/quill-sim" "${sim_args[@]}" >"$sim_out" &
    sim_pid=$!
    trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -f "$sim_out"' EXIT
    for _ in $(seq 50); do
      [ "$(wc -l <"$sim_out")" -ge 2 ] && break
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ "$(wc -l <"$sim_out")" -ge 2 ]; then
      echo "No serial adapter found: a simulated board (${sim_args[*]}) is on $(sed -n 2p "$sim_out")"
    fi
  fi
  "$dir/app/quill" "$@"
  exit $?
fi
exec "$dir/cli/quill-cli" "${@:-devices}"
