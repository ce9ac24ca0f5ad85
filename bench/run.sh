#!/usr/bin/env bash
# Whole-process benchmark at the machine's limit: blkswap's list, --info, --verify, merge, repack,
# unpack and diff on one image, in alternating rounds, against what the machine does anyway (cat
# of the image, cp && sync of it, a program that maps it and finds its tables: bench/mapped_scan.c,
# and one that replaces a file safely: bench/safe_copy.c) and against what a person writes
# instead (bench/blkswap.py, list and merge). Prints the median
# time of each, the median and spread of the per-round ratios, the targets, and peak resident
# memory (/usr/bin/time's, mapped pages included) against the image's length.
#
#   bench/run.sh [RUNS] [MEBIBYTES]      (default 7 rounds of a 256 MiB image)
#   BLKSWAP=path bench/run.sh ...        measures another build against the same anchors
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
size=${2:-256}
work=$root/build/bench/$size
mkdir -p "$work"

cmake --preset default >/dev/null
cmake --build --preset default --target blkswap make_bench_image mapped_scan safe_copy >/dev/null
[ -f "$work/image.bin" ] || "$root/build/default/bench/make_bench_image" "$work" "$size"

blkswap=${BLKSWAP:-$root/build/default/blkswap}
scan=$root/build/default/bench/mapped_scan
safe_copy=$root/build/default/bench/safe_copy
python=$root/bench/blkswap.py
image=$work/image.bin
block=$work/block.bin
results=$work/results.txt
: >"$results"

# Every command starts from the same state: nothing dirty waiting to be written back, and the
# file system done with the files the run before replaced.
measure() {
  local name=$1
  shift
  sync
  sleep 0.2
  local start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null || true  # a diff that finds one exits 1
  local end=$EPOCHREALTIME
  echo "$name $start $end $(tail -n 1 "$work/peak")" >>"$results"
}

# The folder the repacks read: the image unpacked, with a new first block; the image the diffs
# compare with: the merge's output.
rm -rf "$work/parts"
"$blkswap" --unpack "$image" "$work/parts" >/dev/null
cp "$block" "$work/parts/00-bootload.bin"
"$blkswap" "$image" bootload "$block" "$work/other.bin"
cat "$image" "$block" "$work/other.bin" >/dev/null  # in the page cache, as for every command

tool() { measure "$1" "$blkswap" "${@:2}"; }
steps=(
  'tool list "$image"'
  'measure cat cat "$image"'
  'measure scan "$scan" "$image"'
  'tool info --info "$image"'
  'tool verify --verify "$image"'
  'tool merge "$image" bootload "$block" "$work/out.bin"'
  'measure cp-sync sh -c "cp \"$image\" \"$work/copy.bin\" && sync"'
  'measure safe-copy "$safe_copy" "$image" "$work/safe.bin"'
  'tool repack --repack "$image" "$work/parts" "$work/re.bin"'
  'rm -rf "$work/unpacked"; tool unpack --unpack "$image" "$work/unpacked"'
  'tool diff --diff "$image" "$work/other.bin"'
  'measure python-list python3 "$python" "$image"'
  'measure python-merge python3 "$python" "$image" bootload "$block" "$work/py.bin"'
)
# In turn forwards and backwards, so that no command always follows the same one.
for ((i = 0; i < runs; i++)); do
  for ((k = 0; k < ${#steps[@]}; k++)); do
    ((i % 2 == 0)) && step=${steps[k]} || step=${steps[${#steps[@]} - 1 - k]}
    eval "$step"
  done
done
cmp -s "$work/out.bin" "$work/py.bin" && echo "merge output: the Python script's, byte for byte" ||
  echo "merge output: differs from the Python script's"
cmp -s "$work/re.bin" "$work/out.bin" && echo "repack output: the merge's" ||
  echo "repack output: differs from the merge's"

python3 - "$results" "$(stat -c %s "$image")" "$runs" <<'PY'
import statistics, sys
path, length, runs = sys.argv[1], int(sys.argv[2]), sys.argv[3]
times, peaks = {}, {}
for line in open(path):
    name, start, end, peak = line.split()
    times.setdefault(name, []).append(float(end) - float(start))
    peaks.setdefault(name, []).append(int(peak) * 1024)

def ratios(a, b):  # per round: each round ran every command once
    return [x / y for x, y in zip(times[a], times[b])]

def spread(r):
    return f"{statistics.median(r):.2f}x ({min(r):.2f}-{max(r):.2f})"

print(f"image {length >> 20} MiB, {runs} rounds; ratios: median of the rounds (min-max)")
print(f"{'command':<14}{'median s':>10}{'peak MiB':>10}{'peak/image':>12}")
for name in times:
    peak = max(peaks[name])
    print(f"{name:<14}{statistics.median(times[name]):>10.3f}{peak / 2**20:>10.1f}{peak / length:>12.3f}")
print()
for a, b, target in [("list", "cat", "at most 2x"), ("list", "scan", ""),
                     ("info", "cat", "at most 3x"), ("verify", "cat", "at most 3x"),
                     ("merge", "cp-sync", "at most 1.3x"), ("merge", "safe-copy", ""),
                     ("safe-copy", "cp-sync", ""), ("repack", "cp-sync", "at most 1.5x"),
                     ("python-list", "list", "at least 20x"),
                     ("python-merge", "merge", "at least 5x")]:
    print(f"{a + ' / ' + b:<24}{spread(ratios(a, b)):<26}{target}")
print(f"{'list peak / image':<24}{max(peaks['list']) / length:.3f}{'':<21}at most 1.05")
print(f"{'merge peak / image':<24}{max(peaks['merge']) / length:.3f}{'':<21}at most 1.1")
PY
