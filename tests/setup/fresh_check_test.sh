#!/usr/bin/env bash
# scripts/fresh-check.sh leaves no mount, process or folder behind when the check fails and when
# it is interrupted (Ctrl-C to its process group, as a terminal sends it). Needs root.
set -uo pipefail
cd "$(dirname "$0")/../.."
set -m
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
leftovers() {
  grep -q "/var/tmp/quill-fresh\." /proc/self/mounts && fail "$1: a mount is left"
  compgen -G "/var/tmp/quill-fresh.*" >/dev/null && fail "$1: the root's folder is left"
  pgrep -f "quill-fresh-selftest" >/dev/null && fail "$1: a process of the root is left"
  true
}
rm -rf /var/tmp/quill-fresh.*

QUILL_FRESH_COMMAND='test -c /dev/null && test -e /dev/pts/ptmx && test -L /dev/ptmx && false' \
  scripts/fresh-check.sh >/dev/null 2>&1
[ $? -ne 0 ] || fail "a failing command passed the check"
leftovers "failed check"

# With Ctrl-C's default action restored: a shell that starts this test in the background without
# job control hands it SIGINT ignored, and an ignored signal cannot be trapped again.
QUILL_FRESH_COMMAND='touch /tmp/started; exec -a quill-fresh-selftest sleep 600' \
  env --default-signal=INT scripts/fresh-check.sh >/dev/null 2>&1 &
check=$!
for _ in $(seq 600); do compgen -G "/var/tmp/quill-fresh.*/root/tmp/started" >/dev/null && break; sleep 0.1; done
compgen -G "/var/tmp/quill-fresh.*/root/tmp/started" >/dev/null || fail "the command never started"
kill -INT -- "-$check"
wait "$check"
status=$?
[ "$status" -eq 130 ] || fail "an interrupted check ended with $status, not 130"
leftovers "interrupted check"

echo "fresh-check self-test: $((2 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
