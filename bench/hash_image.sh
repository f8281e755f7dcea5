#!/usr/bin/env bash
# Times the helper's image check (size, then SHA-256 of the whole file)
# against `openssl dgst -sha256` on the same cached file in the same run, and
# prints the throughput ratio.
#
#   bench/hash_image.sh [size in MiB, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-1024}
source bench/common.sh "$mib"
tool=$PWD/build/release/bench/kelmar_vindle_hash_image

"$tool" "$image" "$sha" "$size" && openssl dgst -sha256 "$image" >/dev/null  # warm the cache
best_tool=0 best_openssl=0
for _ in 1 2 3 4 5; do
  t0=$(now); "$tool" "$image" "$sha" "$size"; t1=$(now); openssl dgst -sha256 "$image" >/dev/null; t2=$(now)
  a=$((t1 - t0)) b=$((t2 - t1))
  ((best_tool == 0 || a < best_tool)) && best_tool=$a
  ((best_openssl == 0 || b < best_openssl)) && best_openssl=$b
done
awk -v a="$best_tool" -v b="$best_openssl" -v mib="$mib" 'BEGIN {
  printf "image %d MiB: check_image %.0f MB/s, openssl dgst %.0f MB/s, throughput ratio %.2f (target >= 0.9)\n",
         mib, mib * 1.048576 / (a / 1e9), mib * 1.048576 / (b / 1e9), b / a }'
