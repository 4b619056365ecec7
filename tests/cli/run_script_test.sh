#!/usr/bin/env bash
# scripts/run.sh as a new user meets it, with the wizard replaced by a stand-in that records what
# it was started with: the simulated board comes up whether or not settings exist yet, follows
# the saved configuration, is announced while the wizard runs and ends with it.
# Usage: run_script_test.sh <source dir> <build dir>
set -uo pipefail
src="$1" bin="$2"
for dev in /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* /dev/ttyXRUSB[0-9]* /dev/rfcomm[0-9]*; do
  [ -e "$dev" ] && { echo "a serial adapter is attached ($dev): no simulated board to test"; exit 77; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build/app" "$work/build/sim" "$work/out"
ln -s "$bin/sim/quill-sim" "$work/build/sim/quill-sim"
cat > "$work/build/app/quill" <<'STANDIN'
#!/usr/bin/env bash
echo "$*" > "$OUT/args"
for link in "$XDG_RUNTIME_DIR"/quill/ports/sim-*; do
  [ -c "$(readlink -f "$link")" ] && echo "$link" > "$OUT/port"
done
exit "${STANDIN_STATUS:-0}"
STANDIN
chmod +x "$work/build/app/quill"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs run.sh with a home of its own; sets $status and $output.
run() {
  rm -f "$work/out"/*
  output="$(env -i PATH="$PATH" HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
    OUT="$work/out" QUILL_RUN_SETUP=0 QUILL_BUILD_DIR="$work/build" "$@" \
    bash "$src/scripts/run.sh" --some-argument 2>&1)"
  status=$?
}

expect_board() {
  local what="$1" args="$2"
  grep -qF "No serial adapter found: a simulated board ($args) is on $work/runtime/quill/ports/sim-" \
    <<<"$output" || fail "$what: board line missing; output was: $output"
  [ -s "$work/out/port" ] || fail "$what: no live board announced while the wizard ran"
  [ "$(cat "$work/out/args" 2>/dev/null)" = "--some-argument" ] ||
    fail "$what: the wizard was not started with the script's arguments"
  [ -z "$(ls "$work/runtime/quill/ports" 2>/dev/null)" ] ||
    fail "$what: the board's announcement outlived the wizard"
}

mkdir -p "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
run
[ "$status" -eq 0 ] || fail "no settings yet: status $status; output was: $output"
expect_board "no settings yet" "--device TX-A10 --clock 8 --state boot"

mkdir -p "$work/home/.config/Velmora"
printf '[General]\nLastMCUType=TX-C31\nLastClockSpeed=3\nLastMCUMode=1\n' \
  > "$work/home/.config/Velmora/Quill.conf"
run STANDIN_STATUS=3
[ "$status" -eq 3 ] || fail "saved TX-C31: the wizard's status 3 came back as $status"
expect_board "saved TX-C31" "--device TX-C31 --clock 3 --state boot --mode 3"

printf '[General]\nLastMCUType=XY-123\nLastClockSpeed=42\n' > "$work/home/.config/Velmora/Quill.conf"
run
expect_board "unknown saved values" "--device TX-A10 --clock 8 --state boot"

[ "$failures" -eq 0 ] && echo "run.sh: all cases passed"
exit $((failures > 0))
