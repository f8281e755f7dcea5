#!/usr/bin/env bash
# Times a whole write through the raw disk backend onto a file standing in for
# the raw node, against the standard tools on the same files in the same run:
# the copy phase against `dd bs=1M conv=fsync`, and the whole write against
# `openssl dgst -sha256` of the image + that dd + `openssl dgst` of the copy.
# Also reports the backend's peak resident memory. Writing back to a disk is
# noisy here, so each side keeps its best of five alternating runs; set
# BENCH_TARGET_DIR (for example /dev/shm) to put the target elsewhere.
#
#   bench/raw_write.sh [size in MiB, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-1024}
source bench/common.sh "$mib"
tool=$PWD/build/release/bench/kelmar_vindle_raw_write
devices=${BENCH_TARGET_DIR:-$work}/kelmar_vindle_bench_dev.$$
mkdir -p "$devices"
trap 'rm -rf "$work" "$devices"' EXIT
target=$devices/rdisk4

ms() { echo $((($2 - $1) / 1000000)); }
best_copy=0 best_whole=0 best_dd=0 best_tools=0 peak=0
for _ in 1 2 3 4 5; do
  : >"$target"  # the backend opens the node, it never creates it
  out=$(/usr/bin/time -f '%M' "$tool" "$image" "$sha" "$devices" 2>"$work/time") || { cat "$work/time" >&2; exit 1; }
  copy=$(echo "$out" | awk '{print $4}') whole=$(echo "$out" | awk '{print $8}')
  peak=$(tail -1 "$work/time")
  rm -f "$target"
  t0=$(now); openssl dgst -sha256 "$image" >/dev/null; t1=$(now)
  dd if="$image" of="$target" bs=1M conv=fsync status=none; t2=$(now)
  openssl dgst -sha256 "$target" >/dev/null; t3=$(now)
  dd_ms=$(ms "$t1" "$t2") tools_ms=$(ms "$t0" "$t3")
  ((best_copy == 0 || copy < best_copy)) && best_copy=$copy
  ((best_whole == 0 || whole < best_whole)) && best_whole=$whole
  ((best_dd == 0 || dd_ms < best_dd)) && best_dd=$dd_ms
  ((best_tools == 0 || tools_ms < best_tools)) && best_tools=$tools_ms
done
awk -v c="$best_copy" -v d="$best_dd" -v w="$best_whole" -v t="$best_tools" -v mib="$mib" -v peak="$peak" 'BEGIN {
  printf "image %d MiB: copy %d ms vs dd bs=1M conv=fsync %d ms (throughput ratio %.2f, target >= 0.9)\n", mib, c, d, d / c
  printf "whole write %d ms vs openssl+dd+openssl %d ms (ratio %.2f, target <= 1.15); peak RSS %d KiB\n", w, t, w / t, peak }'
