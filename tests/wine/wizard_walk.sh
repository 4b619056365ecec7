#!/usr/bin/env bash
# The wizard, quill.exe, walked under wine by keyboard as a person would: key presses go to its
# window on the X display (xvfb-run gives one), nothing inside the program is driven. The board
# is the simulated one on a pseudo-terminal that is COM5 of a wine prefix made for this walk, with
# a kernel set installed in the prefix's store (%LOCALAPPDATA%\Quill\fpcode). The walk:
#   configuration (TX-A10, the first clock range, COM5 chosen from the port list, 2400 bps),
#   boot-mode programming of a two-record file, checked on the board's flash,
#   a user-mode erase of the blocks the file wrote, checked on the board's flash,
#   Exit, after which the choices are in the registry.
# The configuration page is saved as SHOT_DIR/wine-configure.png. With QUILL_WALK_PREFIX the walk
# takes that prefix (where the installer put quill.exe) instead of a new one, and leaves it.
# usage: wizard_walk.sh QUILL_EXE QUILL_SIM SHOT_DIR
set -euo pipefail
exe="$(realpath "$1")"
sim="$(realpath "$2")"
shots="$3"
here="$(cd "$(dirname "$0")" && pwd)"
fpcode="$here/../../resources/fpcode"
[ -n "${DISPLAY:-}" ] || { echo "wizard_walk: no X display (run it under xvfb-run)" >&2; exit 2; }

work="$(mktemp -d)"
export WINEPREFIX="${QUILL_WALK_PREFIX:-$work/prefix}" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
board_pid=""
wizard_pid=""
# The prefix's server and programs have ended before their folder goes; the walk's outcome is
# already decided, so leftovers of a slow ending do not change it.
cleanup() {
  set +e
  [ -z "$wizard_pid" ] || kill "$wizard_pid" 2>/dev/null
  [ -z "$board_pid" ] || kill "$board_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  rm -rf "$work" 2>/dev/null
}
trap cleanup EXIT
# A failure leaves the screen as it was in SHOT_DIR/wine-walk-failure.png.
fail() {
  echo "wizard_walk: $*" >&2
  mkdir -p "$shots"
  import -window root "$shots/wine-walk-failure.png" 2>/dev/null || true
  [ ! -s "$work/board.err" ] || tail -n 20 "$work/board.err" >&2
  exit 1
}
# Waits up to $1 seconds for the command after it to succeed, looking again every tenth second.
wait_for() {
  local limit=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$limit" ] || return 1
    sleep 0.1
  done
}

# The program itself: a GUI program (no console window from Explorer) that needs no DLL but
# Windows' own, whose --version and --help still reach whoever started it.
headers="$(x86_64-w64-mingw32-objdump -p "$exe")"
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "quill.exe is no GUI program"
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | ole32.dll | oleaut32.dll | \
      comdlg32.dll | imm32.dll | winmm.dll | ws2_32.dll | uxtheme.dll | dwmapi.dll | shlwapi.dll | \
      version.dll | netapi32.dll | userenv.dll | uuid.dll | setupapi.dll | bcrypt.dll | dwrite.dll | \
      d3d9.dll | d3d11.dll | dxgi.dll | wtsapi32.dll | authz.dll | mpr.dll | msvcrt.dll | shcore.dll | \
      api-ms-win-*) ;;
    *) fail "quill.exe needs $dll, which Windows does not have" ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
# Its resources: the application icon's images and the version information Explorer shows.
python3 - "$exe" "$here/../../resources/icons" "$here/../../CMakeLists.txt" <<'EOF' ||
import re, sys
exe = open(sys.argv[1], "rb").read()
version = re.search(r"project\(quill VERSION ([0-9.]+)", open(sys.argv[3]).read()).group(1)
icons = [open(f"{sys.argv[2]}/icon-{n}.png", "rb").read() for n in (129, 128, 48)]
texts = ["VS_VERSION_INFO", "FileDescription", "FileVersion", version]
sys.exit(0 if all(i in exe for i in icons) and
         all(t.encode("utf-16-le") in exe for t in texts) else 1)
EOF
  fail "quill.exe lacks its icon or its version information"

mkdir -p "$WINEPREFIX"
wine wineboot -i >/dev/null 2>&1
[ "$(wine "$exe" --version | tr -d '\r')" = "quill $(sed -n 's/^project(quill VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")" ] ||
  fail "quill.exe --version does not answer"
wine "$exe" --help | tr -d '\r' | tr '\n' ' ' | grep -q 'HKEY_CURRENT_USER\\Software\\Velmora\\Quill\\1.0' ||
  fail "quill.exe --help does not name where the settings go"
user_dir="$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)"
[ -n "$user_dir" ] || fail "no user folder in the prefix"
store="$user_dir/AppData/Local/Quill/fpcode"
mkdir -p "$store"
for kernel in "$fpcode"/fpcode_*.bin; do
  name="$(basename "$kernel")"
  cp "$kernel" "$store/${name#fpcode_}"
done

# Two records: 16 bytes in LB0 and 16 in LB1 of the TX-A10.
python3 - "$work/walk.mot" <<'EOF'
import sys
def s1(address, data):
    body = bytes([len(data) + 3, address >> 8, address & 0xFF]) + data
    return "S1" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF)
with open(sys.argv[1], "w") as f:
    f.write(s1(0x0100, bytes(range(1, 17))) + "\n")
    f.write(s1(0x4000, bytes(range(0xA0, 0xB0))) + "\n")
    f.write("S9030000FC\n")
EOF
# The flash the board must hold: ($1) "programmed" or "erased".
flash_is() {
  kill -USR1 "$board_pid" 2>/dev/null || return 1
  python3 - "$work/flash.bin" "$1" <<'EOF'
import sys
try:
    flash = open(sys.argv[1], "rb").read()
except OSError:
    sys.exit(1)
if len(flash) < 0x8000:
    sys.exit(1)
want = sys.argv[2] == "programmed"
lb0 = flash[0x0100:0x0110] == bytes(range(1, 17))
lb1 = flash[0x4000:0x4010] == bytes(range(0xA0, 0xB0))
erased = all(b == 0xFF for b in flash[0x0000:0x8000])
sys.exit(0 if (lb0 and lb1 if want else erased) else 1)
EOF
}

# The end of a run: the line has fallen quiet (the board logs every byte) after its last
# exchange, so the wizard has had the last answer and shows its result page.
last_size=-1
line_quiet() {
  local size
  size="$(stat -c %s "$work/board.err")"
  [ "$size" = "$last_size" ] && return 0
  last_size="$size"
  return 1
}

# The board, with the prefix's kernel set as the kernels it expects, and COM5 leading to it:
# wine's own table of ports (HKLM\Software\Wine\Ports), from which its mount manager makes the
# device and the registry's list of serial devices when the prefix next starts, as Windows lists
# a port its driver adds.
coproc BOARD { exec "$sim" --device TX-A10 --clock 0 --state boot --kernels "$store" \
  --flash-out "$work/flash.bin" --no-announce --verbose 2>"$work/board.err"; }
board_pid=$BOARD_PID
read -r -t 10 pty <&"${BOARD[0]}" || fail "the simulated board did not start"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
wineserver -k
wineserver -w

wine "$exe" >"$work/wizard.out" 2>&1 &
wizard_pid=$!
window="$(timeout 120 xdotool search --sync --onlyvisible --name '^QUILL TAVEO')" ||
  fail "no wizard window"
window="$(echo "$window" | head -n1)"
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
# A button's mnemonic clicks it a tenth of a second later (Qt's animated click), so keys come
# a quarter of a second apart.
keys() { xdotool key --delay 250 "$@"; }

# Configuration, first page: Next. The device and clock lists and the port list by keyboard.
keys alt+n
keys alt+t Home alt+c Home alt+p
xdotool type --delay 100 COM5
# After a boot the kernel keeps the rate the boot ROM was synchronised at: 2400 bps, the first
# range's, for user mode as well.
keys alt+d
xdotool type --delay 100 2400
keys alt+u
xdotool type --delay 100 2400
# The picture of the configuration page, as the user sees it.
mkdir -p "$shots"
import -window "$window" "$shots/wine-configure.png"
keys alt+n

# Boot-mode programming: the file by its Windows name (wine's Z: is the root folder).
keys alt+p alt+n alt+f ctrl+a
xdotool type --delay 20 "Z:${work//\//\\}\\walk.mot"
keys alt+n alt+n
wait_for 60 flash_is programmed || fail "the boot run did not program the board's flash"
wait_for 30 line_quiet || fail "the boot run did not end"

# The done page, then a user-mode erase of the blocks the file wrote (the page offers them).
keys alt+n alt+u alt+n alt+s alt+n alt+n alt+n
wait_for 60 flash_is erased || fail "the user-mode erase did not erase the board's blocks"

# Exit, from the done page once the run has let go of it; the choices land in the registry.
exited() {
  kill -0 "$wizard_pid" 2>/dev/null || return 0
  keys alt+e
  ! kill -0 "$wizard_pid" 2>/dev/null
}
wait_for 30 exited || fail "the wizard did not end on Exit"
wizard_pid=""
wineserver -w
grep -q 'Software\\\\Velmora\\\\Quill\\\\1.0' "$WINEPREFIX/user.reg" ||
  fail "no settings under HKEY_CURRENT_USER\\Software\\Velmora\\Quill\\1.0"
grep -q '"LastComPort"="COM5"' "$WINEPREFIX/user.reg" || fail "the port chosen was not saved"
if grep -q 'quill-sim: error' "$work/board.err"; then fail "the board saw protocol violations"; fi
echo "wizard_walk: boot programming and user-mode erase through quill.exe passed"
