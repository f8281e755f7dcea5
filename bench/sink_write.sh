#!/usr/bin/env bash
# Times one whole `write` through the file sink (image check, copy into the
# sink, read-back verification) against the same work done by standard tools
# on the same files in the same run: `openssl dgst -sha256` of the image, a
# `dd bs=1M` copy, and `openssl dgst -sha256` of the copy. Prints the ratio
# and the helper's peak resident memory.
#
#   bench/sink_write.sh [size in MiB, default 512]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-512}
source bench/common.sh "$mib"
helper=$PWD/build/release/helper/kelmar_vindle_helper

target='{"scheme":"vindle-1","serial":"AC0E5717C4A91B02","vendor":"Acme","product":"Stick 32","vendor_id":4660,'
target+='"product_id":22136,"size":31004295168,"bus":"usb","is_system":false,"mac_bsd_name":"disk4"}'
request='{"v":1,"cmd":"write","job":{"job_id":"bench","image_path":"'$image'","expected_sha256":"'$sha'",'
request+='"expected_size":'$size',"write_mode":"raw-dd-hybrid","target":'$target','
request+='"confirmed_label":"bench","dry_run":false}}'

run_helper() {
  printf '%s\n' "$request" >"$work/request"
  /usr/bin/time -f '%M' -o "$work/peak" "$helper" --fixture examples/devices.json --sink "$work/sink.img" \
    <"$work/request" >"$work/reply"
}
run_tools() {
  openssl dgst -sha256 "$image" >/dev/null
  dd if="$image" of="$work/copy.img" bs=1M status=none
  openssl dgst -sha256 "$work/copy.img" >/dev/null
}

run_helper && run_tools  # warm the page cache for both
best_helper=0 best_tools=0
for _ in 1 2 3; do
  t0=$(now); run_helper; t1=$(now); run_tools; t2=$(now)
  h=$((t1 - t0)) t=$((t2 - t1))
  ((best_helper == 0 || h < best_helper)) && best_helper=$h
  ((best_tools == 0 || t < best_tools)) && best_tools=$t
done
grep -q '"ok":true' "$work/reply" || { cat "$work/reply"; exit 1; }
awk -v h="$best_helper" -v t="$best_tools" -v mib="$mib" -v peak="$(cat "$work/peak")" 'BEGIN {
  printf "image %d MiB: helper write %.0f ms, openssl+dd+openssl %.0f ms, ratio %.2f; peak RSS %d KiB\n",
         mib, h / 1e6, t / 1e6, h / t, peak }'
