#!/usr/bin/env bash
# Runs every command of both builds, the Linux one and the Windows one (under Wine), on the same
# generated images, from folders of the same layout, and compares what they print, their exit
# statuses and every file they write, byte for byte.
# Usage: parity_check.sh LINUX_TOOL WINDOWS_TOOL WINE_RUNNER MAKE_IMAGES COUNT SAMPLE_DIR
# (the sample image and its boot loader join the generated images).
set -euo pipefail
linux_tool=$1 windows_tool=$2 runner=$3 make_images=$4 count=$5 sample=$6
for f in "$linux_tool" "$windows_tool"; do
  [[ -x $f ]] || { echo "parity: $f is not built (build the default and windows presets)"; exit 1; }
done
work=$(mktemp -d)
trap '[[ -n ${PARITY_KEEP:-} ]] || rm -rf "$work"' EXIT
mkdir "$work/images"
"$runner" "$make_images" "$work/images" "$count"
cp "$sample/flash.bin" "$work/images/sample.bin"
cp "$sample/bootloader.bin" "$work/images/sample.block"
printf bootload >"$work/images/sample.name"

# run SIDE NUMBER ARGS...: one command in SIDE's folder; its status, stdout and stderr kept.
run() {
  local side=$1 n=$2
  shift 2
  local status=0
  if [[ $side == linux ]]; then
    (cd "$work/$side" && "$linux_tool" "$@") >"$work/$side.out/$n.stdout" 2>"$work/$side.out/$n.stderr" || status=$?
  else
    (cd "$work/$side" && "$runner" "$windows_tool" "$@") >"$work/$side.out/$n.stdout" 2>"$work/$side.out/$n.stderr" || status=$?
    # Now and then, under load, Wine ends a program before it has printed anything (seen with
    # a failing status and nothing on either stream). Such a run is made once more, and counted;
    # a program that fails so every time still differs below.
    if ((status != 0)) && [[ ! -s $work/$side.out/$n.stdout && ! -s $work/$side.out/$n.stderr ]]; then
      echo "$n" >>"$work/retried"
      status=0
      (cd "$work/$side" && "$runner" "$windows_tool" "$@") >"$work/$side.out/$n.stdout" 2>"$work/$side.out/$n.stderr" || status=$?
    fi
  fi
  echo "$status" >"$work/$side.out/$n.status"
}

for side in linux windows; do
  mkdir -p "$work/$side.out"
  for image in "$work"/images/*.bin; do
    stem=$(basename "$image" .bin)
    rm -rf "$work/$side" && mkdir "$work/$side"
    cp "$image" "$work/$side/f.bin"
    cp "$work/images/$stem.block" "$work/$side/b.bin"
    name=$(cat "$work/images/$stem.name")
    run "$side" "$stem-list" f.bin
    run "$side" "$stem-merge" f.bin "$name" b.bin m.bin
    run "$side" "$stem-info" --info --json f.bin
    run "$side" "$stem-map" --info --svg f.bin
    run "$side" "$stem-verify" --verify f.bin m.bin
    run "$side" "$stem-dry-run" --dry-run f.bin "$name" b.bin --json
    run "$side" "$stem-dry-run-map" --dry-run f.bin "$name" b.bin --svg
    run "$side" "$stem-extract" --extract f.bin "$name" x.bin
    run "$side" "$stem-unpack" --unpack f.bin parts
    [[ -f $work/$side/parts/manifest.json ]] && cp "$work/$side/b.bin" "$work/$side/parts/$(ls "$work/$side/parts" | head -n 1)"
    run "$side" "$stem-repack" --repack f.bin parts r.bin
    run "$side" "$stem-diff" --diff f.bin r.bin --json
    mkdir "$work/$side.out/$stem-files"
    cp -r "$work/$side"/. "$work/$side.out/$stem-files/"
  done
done
retried=0
[[ -f $work/retried ]] && retried=$(wc -l <"$work/retried")
if ! diff -r "$work/linux.out" "$work/windows.out"; then
  for f in "$work"/windows.out/*.status; do
    cmp -s "$f" "${f/windows.out/linux.out}" || echo "status of $(basename "$f" .status): Linux $(cat "${f/windows.out/linux.out}"), Windows $(cat "$f")"
  done
  echo "parity: the Linux and Windows builds differ (above)"
  exit 1
fi
echo "parity: $(ls "$work/linux.out" | grep -c stdout) commands on $count images and the sample: the same bytes from both builds ($retried Windows runs made twice)"
