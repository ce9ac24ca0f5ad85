#!/usr/bin/env bash
# The generated bash completion: the options at the start, each option's own flags after it,
# the image's block names where a BLOCKNAME goes, files everywhere else and after "--"; a block
# name or a file name that holds a space as one word.
# Usage: completion_check.sh SCRIPT PROGRAM_DIR SAMPLE_IMAGE
set -u
source "$1"
PATH=$2:$PATH
failed=0
expect() {
  local want=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _blkswap
  local got
  got=$(printf '%s|' "${COMPREPLY[@]}")
  if [[ "${got%|}" != "$want" ]]; then
    echo "completing '$*': got '${got%|}', want '$want'"
    failed=1
  fi
}
cd "$(mktemp -d)" && cp "$3" flash.bin && touch "my block.bin" rootfs.img
# The sample with its block "config" named "con fig": a name is offered as one shell word.
cp flash.bin spaced.bin && printf 'con fig\0' | dd of=spaced.bin bs=1 seek=$((0x60064)) conv=notrunc 2>/dev/null
expect "--info" blkswap --inf
expect "--verify|--version" blkswap --ve
expect "--json" blkswap --info flash.bin --j
expect "--json|--index|--slot" blkswap --extract flash.bin --
expect "--dry-run" blkswap --repack flash.bin dir --d
expect "flash.bin" blkswap --info fl
expect "flash.bin" blkswap fl
expect "" blkswap --version --j
expect "" blkswap -- --info --j
expect "bootload" blkswap flash.bin bo
expect "kernel" blkswap --extract --json flash.bin k
expect "config" blkswap --dry-run flash.bin bootload "my block.bin" c
expect "my block.bin" blkswap --dry-run flash.bin bootload my
expect "" blkswap --extract --index flash.bin k
expect "rootfs|rootfs.img" blkswap --merge flash.bin bootload x.bin ro
expect "my block.bin" blkswap flash.bin bootload m
expect 'con\ fig' blkswap spaced.bin con
exit $failed
