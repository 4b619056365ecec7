#!/usr/bin/env bash
# quill-cli's bash completion as bash runs it on Tab: each row is a command line, with the word
# being completed last, and words that must (or must not) be among the completions. The ports
# come from a simulated board's announced link in a runtime folder of the test's own.
# Usage: completion_test.sh <source dir> <build dir>
set -uo pipefail
src="$1" bin="$2"
source /usr/share/bash-completion/bash_completion || { echo "bash-completion is not installed"; exit 1; }
source "$src/resources/quill-cli.bash-completion"
PATH="$bin/cli:$PATH"
export XDG_RUNTIME_DIR="$(mktemp -d)"
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
mkdir -p "$XDG_RUNTIME_DIR/quill/ports"
ln -s /dev/null "$XDG_RUNTIME_DIR/quill/ports/sim-test"
cd "$XDG_RUNTIME_DIR" && touch firmware.mot other.txt

failures=0
# expect "<line>" "<wanted word> ..." "<unwanted word> ..."
expect() {
  local line=$1 want=$2 unwanted=${3:-}
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  _quill_cli
  local got=" ${COMPREPLY[*]} " word
  for word in $want; do
    [[ $got == *" $word "* ]] || { echo "FAIL: '$line' lacks $word; got:$got"; failures=$((failures + 1)); }
  done
  for word in $unwanted; do
    [[ $got == *" $word "* ]] && { echo "FAIL: '$line' offers $word; got:$got"; failures=$((failures + 1)); }
  done
}

expect "quill-cli " "devices check boot program erase run kernels --help --version"
expect "quill-cli run --" "--watch --port --log" "--device --save-job"
expect "quill-cli program --save-job f" "firmware.mot"
expect "quill-cli erase --" "--save-job"
expect "quill-cli kernels " "import" "--port"
expect "quill-cli kernels import --" "--id --replace" "--device"
expect "quill-cli check --" "--binary --offset" "--port"
expect "quill-cli pr" "program" "boot"
expect "quill-cli boot --" "--port --device --clock --baud --trace" "--blocks --no-erase"
expect "quill-cli erase --" "--blocks --baud" "--clock --offset"
expect "quill-cli check --device " "TX-A10 TX-C30 TX-C31" "user-mode"
expect "quill-cli program --device TX-C3" "TX-C30 TX-C31" "TX-A10"
expect "quill-cli erase --device TX-A10 --blocks " "all LB0 LB7 SB0 SB7" "LB8"
expect "quill-cli erase --device TX-C31 --blocks LB0,LB" "LB0,LB6 LB0,LB7" "LB0,SB0"
expect "quill-cli boot --device TX-A10 --port " "$XDG_RUNTIME_DIR/quill/ports/sim-test rfc2217:// tcp://"
expect "quill-cli program --port rf" "rfc2217://" "tcp://"
expect "quill-cli program --baud 1" "115200 14400 19200" "9600"
expect "quill-cli boot --device TX-A10 --clock " "0 8"
expect "quill-cli program --device TX-A10 f" "firmware.mot"
expect "quill-cli rec" "records"
expect "quill-cli records " "flush"
expect "quill-cli records --" "--records --job --since --csv" "--device"
expect "quill-cli records flush --" "--records" "--job"
expect "quill-cli run --" "--records --station --value-from"
expect "quill-cli program --value 3FF0:u3" "u32le u32be" "u16le"  # after the colon, as bash splits
expect "quill-cli erase --" "--records" "--value"
expect "quill-cli program --records " "sqlite: postgresql://"
expect "quill-cli program --records sqlite:fi" "firmware.mot" "other.txt"  # after the colon, as bash splits

[ "$failures" -eq 0 ] && echo "completion: all cases passed" && exit 0
exit 1
