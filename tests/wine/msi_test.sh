#!/usr/bin/env bash
# The installer, quill-<version>-windows-x64.msi: its tables read back with msiinfo, then, in a
# wine prefix made for the test, the deployment's silent install (msiexec /i /qn), quill-cli on the
# PATH of a new command prompt, the installed quill.exe walked by keyboard (wizard_walk.sh), an
# upgrade in place to a higher version made from the same files (which the older one may not
# replace again), and the silent removal, which
# must leave the user's settings, kernel store and own PATH entries as they were.
# usage (under xvfb-run, for the walk): msi_test.sh MSI QUILL_SIM SHOT_DIR
set -euo pipefail
msi="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/../.."
stage="${msi%.msi}" # package-windows.sh keeps the MSI's files in the folder beside it
version="$(sed -n 's/^project(quill VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "msi_test: $*" >&2; exit 1; }
has_row() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r' | awk -F'\t' "$2" | grep -q .; }

files=(quill.exe quill-cli.exe README.txt LICENSE.txt)
for f in "${files[@]}"; do
  has_row File "\$3 == \"$f\" && \$4 == $(stat -c %s "$stage/$f")" || fail "File table: no $f of its size"
done
upgrade_code="$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/{\1}/p' "$root/installer/quill.wxs")"
has_row Shortcut '$2 == "ProgramMenuFolder" && $3 == "QUILL" && $5 == "[INSTALLDIR]quill.exe" && $9 == "quill.ico"' &&
  has_row Environment '$2 == "=-Path" && $3 == "[~];[INSTALLDIR]"' &&
  has_row Property "\$1 == \"UpgradeCode\" && \$2 == \"$upgrade_code\"" &&
  has_row Upgrade "\$1 == \"$upgrade_code\" && \$3 == \"$version\"" &&
  has_row Property "\$1 == \"ProductVersion\" && \$2 == \"$version\"" &&
  ! has_row Property '$1 == "ALLUSERS"' || fail "the MSI's tables are not as built"
# Per user: the word count's bit 8, no administrator rights needed.
(($(msiinfo suminfo "$msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p') & 8)) || fail "the MSI asks for elevation"
product="$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')"

mkdir -p "$WINEPREFIX"
wine wineboot -i >/dev/null 2>&1
user="$(basename "$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public)")"
home="$WINEPREFIX/drive_c/users/$user"
dir="$home/AppData/Local/Programs/Quill"
lnk="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/QUILL.lnk"
# The entries of the user's PATH (wine's msi leaves the separator of an entry it takes out).
user_path() {
  wine reg query 'HKCU\Environment' /v Path | tr -d '\r' | sed -n 's/^ *Path *REG_[A-Z_]* *//p' |
    tr ';' '\n' | sed '/^$/d' | paste -sd';'
}
# Each QUILL entry of the uninstall list, as "version maker".
entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
    awk '/^HKEY/ { name = "" } $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { v = $3 }
         $1 == "Publisher" && name == "QUILL" { print v, $3 }'
}
installed() {
  for f in "${files[@]}"; do cmp -s "$stage/$f" "$dir/$f" || fail "$1: $f is not installed"; done
  python3 - "$lnk" <<'EOF' || fail "$1: no Start menu shortcut to quill.exe with its icon"
import sys
link = open(sys.argv[1], "rb").read()
sys.exit(not (b"Programs\\Quill\\quill.exe" in link and "\\quill.ico".encode("utf-16-le") in link))
EOF
  [ "$(user_path)" = "C:\\Tools;C:\\users\\$user\\AppData\\Local\\Programs\\Quill\\" ] ||
    fail "$1: the user's PATH is $(user_path)"
}

# The user has a PATH entry of their own, which installation and removal keep.
wine reg add 'HKCU\Environment' /v Path /t REG_SZ /d 'C:\Tools' /f >/dev/null
wine msiexec /i "$msi" /qn || fail "msiexec /i failed ($?)"
installed "install"
[ "$(entries)" = "$version Velmora" ] || fail "uninstall list: $(entries)"
python3 "$root/resources/icons/make_ico.py" "$work/quill.ico" "$root"/resources/icons/icon-{129,128,48}.png
cmp -s "$work/quill.ico" "$home/AppData/Roaming/Microsoft/Installer/$product/quill.ico" ||
  fail "no product icon for Apps & features"
wineserver -k
wineserver -w
[ "$(cd "$work" && wine cmd /c quill-cli --version | tr -d '\r')" = "quill-cli $version" ] ||
  fail "quill-cli --version does not run from a new command prompt's PATH"

# The walk leaves its settings in the registry and its kernel set in the kernel store.
QUILL_WALK_PREFIX="$WINEPREFIX" bash "$here/wizard_walk.sh" "$dir/quill.exe" "$2" "$3"
store="$home/AppData/Local/Quill/fpcode"
settings() { wine reg query 'HKCU\Software\Velmora\Quill\1.0' /s; (cd "$store" && sha256sum ./*); }
settings >"$work/settings.before"

next="${version%.*}.$((${version##*.} + 1))"
"$root/scripts/make-msi.sh" "$stage" "$next" "$work/next.msi"
wine msiexec /i "$work/next.msi" /qn || fail "msiexec /i of $next failed ($?)"
installed "upgrade"
[ "$(entries)" = "$next Velmora" ] || fail "uninstall list after the upgrade: $(entries)"
if wine msiexec /i "$msi" /qn || [ "$(entries)" != "$next Velmora" ]; then fail "$version replaced $next"; fi

wine msiexec /x "$work/next.msi" /qn || fail "msiexec /x failed ($?)"
[ -z "$(ls -A "$dir" 2>/dev/null)" ] || fail "left in the installation folder: $(ls -A "$dir")"
[ ! -e "$lnk" ] || fail "the shortcut stays"
[ -z "$(entries)" ] || fail "uninstall list after removal: $(entries)"
[ "$(user_path)" = 'C:\Tools' ] || fail "the user's PATH after removal is $(user_path)"
settings | cmp -s "$work/settings.before" - || fail "the removal changed the settings or the kernel store"
echo "msi_test: install, PATH, walk, upgrade to $next and removal passed"
