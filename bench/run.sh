#!/usr/bin/env bash
# Whole-process benchmark: blkswap list, merge, unpack and repack against a floor program that
# does the least work the design allows (bench/floor.cc), on a 256 MiB image, runs alternating in
# one session; cat and cp && sync for context. Prints the median wall time and the median and
# spread of the per-round ratios to the floor, and the peak resident memory.
#
#   bench/run.sh [RUNS]      (default 9)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-9}
work=$root/build/bench
mkdir -p "$work"

cmake --preset default >/dev/null
cmake --build --preset default --target blkswap make_bench_image micro_bench floor >/dev/null
[ -f "$work/image.bin" ] || "$root/build/default/bench/make_bench_image" "$work"

blkswap=${BLKSWAP:-$root/build/default/blkswap}  # BLKSWAP=... measures another build
floor=$root/build/default/bench/floor
image=$work/image.bin
block=$work/block.bin
results=$work/results.txt
: >"$results"

# Every command starts from the same state: nothing dirty waiting to be written back, and the
# filesystem done with the files the run before replaced.
measure() {
  local name=$1
  shift
  sync
  sleep 0.2
  local start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null || true  # a diff that finds a difference exits 1
  local end=$EPOCHREALTIME
  echo "$name $start $end $(tail -n 1 "$work/peak")" >>"$results"
}

# The folder both repacks read: the image unpacked, with a new first block.
rm -rf "$work/parts"
"$blkswap" --unpack "$image" "$work/parts" >/dev/null
cp "$block" "$work/parts/00-bootload.bin"

# The image the diffs compare with: the merge's output, which differs in its first block.
"$blkswap" "$image" bootload "$block" "$work/other.bin"
cat "$image" "$block" "$work/other.bin" >/dev/null # warm the page cache
list_blkswap() { measure "blkswap-list" "$blkswap" "$image"; }
list_floor() { measure "floor-list" "$floor" list "$image"; }
merge_blkswap() { measure "blkswap-merge" "$blkswap" "$image" bootload "$block" "$work/out-blkswap.bin"; }
merge_floor() { measure "floor-merge" "$floor" merge "$image" 0 "$block" "$work/out-floor.bin"; }
# Each unpack writes a folder that does not exist yet; it is removed before the next run.
unpack_blkswap() {
  rm -rf "$work/unpacked"
  measure "blkswap-unpack" "$blkswap" --unpack "$image" "$work/unpacked"
}
unpack_floor() {
  rm -rf "$work/unpacked"
  measure "floor-unpack" "$floor" unpack "$image" "$work/unpacked"
}
info_blkswap() { measure "blkswap-info" "$blkswap" --info "$image"; }
info_floor() { measure "floor-info" "$floor" verify "$image"; }
verify_blkswap() { measure "blkswap-verify" "$blkswap" --verify "$image"; }
verify_floor() { measure "floor-verify" "$floor" verify "$image"; }
diff_blkswap() { measure "blkswap-diff" "$blkswap" --diff "$image" "$work/other.bin"; }
diff_floor() { measure "floor-diff" "$floor" diff "$image" "$work/other.bin"; }
repack_blkswap() { measure "blkswap-repack" "$blkswap" --repack "$image" "$work/parts" "$work/re-blkswap.bin"; }
repack_floor() { measure "floor-repack" "$floor" repack "$image" "$work/parts" "$work/re-floor.bin"; }
# Alternating, and in turn first and second, so that neither side always follows the other.
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    list_blkswap; list_floor; merge_blkswap; merge_floor
    unpack_blkswap; unpack_floor; repack_blkswap; repack_floor
    info_blkswap; info_floor; verify_blkswap; verify_floor; diff_blkswap; diff_floor
  else
    list_floor; list_blkswap; merge_floor; merge_blkswap
    unpack_floor; unpack_blkswap; repack_floor; repack_blkswap
    info_floor; info_blkswap; verify_floor; verify_blkswap; diff_floor; diff_blkswap
  fi
  measure "cat" cat "$image"
  measure "cp-sync" sh -c "cp '$image' '$work/copy.bin' && sync"
done
cmp -s "$work/out-blkswap.bin" "$work/out-floor.bin" && echo "merge outputs: identical" ||
  echo "merge outputs: differ"
cmp -s "$work/re-blkswap.bin" "$work/out-blkswap.bin" && echo "repack output: the merge's" ||
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
    return f"{statistics.median(r):.3f} ({min(r):.3f}-{max(r):.3f})"

print(f"image {length >> 20} MiB, {runs} alternating rounds; ratios: median of the rounds (min-max)")
print(f"{'command':<15}{'median s':>10}  {'vs floor':<22}{'peak MiB':>10}{'peak/image':>12}")
commands = ["list", "merge", "unpack", "repack", "info", "verify", "diff"]
for name in [f"{tool}-{c}" for c in commands for tool in ("blkswap", "floor")] + ["cat", "cp-sync"]:
    ratio = spread(ratios(name, "floor-" + name.split("-", 1)[1])) if name.startswith("blkswap-") else ""
    peak = max(peaks[name])
    print(f"{name:<15}{statistics.median(times[name]):>10.3f}  {ratio:<22}{peak / 2**20:>10.1f}{peak / length:>12.3f}")
print(f"list vs cat: {spread(ratios('blkswap-list', 'cat'))}; "
      f"merge vs cp && sync: {spread(ratios('blkswap-merge', 'cp-sync'))}")
PY
