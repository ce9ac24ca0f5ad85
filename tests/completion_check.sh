#!/usr/bin/env bash
# The generated bash completion: the options at the start, each option's own flags after it,
# files everywhere else and after "--".
set -u
source "$1"
failed=0
expect() {
  local want=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _blkswap
  if [[ "${COMPREPLY[*]}" != "$want" ]]; then
    echo "completing '$*': got '${COMPREPLY[*]}', want '$want'"
    failed=1
  fi
}
cd "$(mktemp -d)" && touch flash.bin
expect "--info" blkswap --inf
expect "--verify --version" blkswap --ve
expect "--json" blkswap --info flash.bin --j
expect "--index --slot" blkswap --extract flash.bin --
expect "--dry-run" blkswap --repack flash.bin dir --d
expect "flash.bin" blkswap --info fl
expect "flash.bin" blkswap fl
expect "" blkswap --unpack --j
expect "" blkswap -- --info --j
exit $failed
