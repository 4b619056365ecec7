#!/usr/bin/env bash
# README's two commands on a fresh Debian machine: a minimal root of this machine's Debian release
# (mmdebstrap, packages from this machine's own apt sources) gets a clean clone of HEAD; README's
# test command runs there exactly as written, the Debian package of that build is installed and its
# Python module imported, then README's run command starts the wizard
# headless and must get as far as announcing its simulated board and showing the first page.
# Needs root (chroot and mounts). Every mount is undone on every way out, Ctrl-C included.
#
#   QUILL_FRESH_COMMAND=CMD   run CMD in the root instead of README's commands (the self-test)
#   QUILL_FRESH_KEEP=1        keep the root's folder afterwards (its mounts are still undone)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
started=$SECONDS
stage() { echo "fresh-check: $1 ($((SECONDS - started)) s)"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: needs root (it builds a root with mmdebstrap and mounts into it)" >&2
  exit 2
fi
. /etc/os-release
release="${VERSION_CODENAME:?this is not a Debian release with a code name}"

# The minimal base is made once a day and kept: it holds nothing of the project's.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quill/fresh"
base="$cache/$release-minbase.tar"
mkdir -p "$cache"
# What this script itself runs on the host beyond the base system.
for tool in mmdebstrap git; do
  command -v "$tool" >/dev/null ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool"; }
done
if [ -z "$(find "$base" -mmin -1440 2>/dev/null)" ]; then
  # The package sources as this machine's apt sees them, for this release's suites only.
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
    awk -v r="$release" '$2 == r || index($2, r "-") == 1 { print "deb " $0 }' | sort -u \
    > "$cache/sources.list"
  [ -s "$cache/sources.list" ] || { echo "fresh-check: no $release package source in apt" >&2; exit 1; }
  mmdebstrap --variant=minbase --include=ca-certificates --format=tar --quiet "$release" \
    "$base.part" - \
    < "$cache/sources.list"
  mv "$base.part" "$base"
  stage "made the minimal $release root"
fi

work="$(mktemp -d /var/tmp/quill-fresh.XXXXXX)"
root="$work/root"
mounted=()
# Ends every process whose root is the fresh root, then undoes the mounts, last first.
cleanup() {
  local status=$? pid tries
  trap - EXIT INT TERM
  for tries in 1 2 3 4 5 6 7 8 9 10; do
    local left=()
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && left+=("$pid")
    done
    [ ${#left[@]} -eq 0 ] && break
    kill -s "$([ "$tries" -lt 5 ] && echo TERM || echo KILL)" "${left[@]}" 2>/dev/null || true
    sleep 0.5
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  if grep -q " $root" /proc/self/mounts; then
    echo "fresh-check: mounts left under $root" >&2
    status=1
  fi
  if [ "${QUILL_FRESH_KEEP:-0}" = 1 ]; then echo "fresh-check: the root stays in $root"; else rm -rf "$work"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$root"
tar -xf "$base" -C "$root"
git clone --quiet --no-hardlinks "$repo" "$root/root/quill"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
stage "unpacked the root and cloned HEAD ($(git -C "$repo" rev-parse --short HEAD))"

mount_in() {  # mount_in TARGET MOUNT-ARGUMENTS...
  local target="$root$1"
  shift
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /tmp -t tmpfs -o mode=1777 tmpfs
mount_in /dev -t tmpfs -o mode=0755,nosuid tmpfs
for device in null zero full random urandom tty; do
  touch "$root/dev/$device"
  mount_in "/dev/$device" --bind "/dev/$device"
done
mkdir -p "$root/dev/pts" "$root/dev/shm"
# Pseudo-terminals of the root's own: a private instance, with its own ptmx.
mount_in /dev/pts -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts
ln -s pts/ptmx "$root/dev/ptmx"
mount_in /dev/shm -t tmpfs -o mode=1777 tmpfs
ln -s /proc/self/fd "$root/dev/fd"
for fd in 0 1 2; do ln -s "/proc/self/fd/$fd" "$root/dev/$(echo stdin stdout stderr | cut -d' ' -f$((fd + 1)))"; done

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

if [ -n "${QUILL_FRESH_COMMAND:-}" ]; then
  in_root bash -c "$QUILL_FRESH_COMMAND"
  exit 0
fi

# The two commands of README's first block: the run command, then the test command.
readarray -t commands < <(awk '/^```sh$/ { inside = 1; next } inside && /^```/ { exit }
                               inside { sub(/[ \t]*#.*$/, ""); if ($0 != "") print }' \
                               "$root/root/quill/README.md")
run_command="${commands[0]:?README has no run command}"
test_command="${commands[1]:?README has no test command}"

stage "README's test command: $test_command"
in_root bash -c "cd /root/quill && $test_command"
stage "the tests passed"

# The Debian package of that build, installed as a user would, brings the Python module with it.
in_root bash -c "cd /root/quill && scripts/package-deb.sh >/dev/null &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./build/quill_*_amd64.deb >/dev/null &&
  cd / && python3 -c 'import quill; print(quill.__version__)'"
stage "the Debian package installed; its Python module imports"

stage "README's run command, headless: $run_command"
log="$root/tmp/run.log"
in_root bash -c "cd /root/quill && QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='quill.wizard.debug=true' \
  $run_command" > "$log" 2>&1 &
run_pid=$!
deadline=$((SECONDS + 600))
until grep -q "page [0-9]* shown" "$log"; do
  if ! kill -0 "$run_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
    tail -n 30 "$log"
    echo "fresh-check: the wizard did not get as far as its first page" >&2
    exit 1
  fi
  sleep 0.5
done
if ! grep -q "^No serial adapter found: a simulated board .* is on /" "$log"; then
  tail -n 30 "$log"
  echo "fresh-check: the run command announced no simulated board" >&2
  exit 1
fi
grep -m1 "^No serial adapter found" "$log"
grep -m1 "page [0-9]* shown" "$log"
stage "the wizard showed its first page with a simulated board; stopping it"
