#!/usr/bin/env bash
# The whole performance report, measured in one run on this machine, each
# figure against standard tools on the same files:
#   - the image check against `openssl dgst -sha256` (1024 MiB)
#   - the raw backend's copy against `dd bs=1M conv=fsync`, and its whole write
#     against `openssl dgst` + that dd + `openssl dgst`, onto tmpfs (512 MiB)
#   - the raw backend's peak resident memory for a 64 MiB and a 512 MiB image
#   - a whole write through the file sink against the same tools, and its
#     peak resident memory (512 MiB)
#   - that write into tmpfs with and without "progress":true, and the time
#     from a client's hang-up after the first "writing" event to the helper's
#     exit, with the bytes the sink still got, in standard input mode and on
#     a Unix socket (512 MiB, bench/progress_write.sh)
#   - decode-and-write of xz, gzip and zstd against their shell pipelines and
#     `bmaptool copy`, peak resident memory, and a stream fed at 64 MiB/s
#     against the feeding alone (1024 MiB, bench/decode_write.sh)
#   - the median latency of one `validate` through standard input, process
#     start included, against starting /bin/true (101 runs each)
#   - what acting for a non-root client costs a job: the process with the
#     client's rights started, one open through it, and ended (501 runs)
#   - inside the emulated machine, the Linux raw backend's write and read-back
#     against busybox dd with direct I/O (bench/usb_guest.sh)
#
#   bench/report.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== $(date -u +%Y-%m-%d), $(nproc) cores, $(awk '/model name/ { $1 = $2 = $3 = ""; print; exit }' /proc/cpuinfo | sed 's/^ *//')"
echo "== image check"
bench/hash_image.sh 1024
echo "== raw backend onto tmpfs"
BENCH_TARGET_DIR=/dev/shm bench/raw_write.sh 512
BENCH_TARGET_DIR=/dev/shm bench/raw_write.sh 64 | grep -o 'peak RSS.*' | sed 's/^/64 MiB image: /'

echo "== file sink"
bench/sink_write.sh 512

echo "== compressed images and a rate-limited stream, file sink on tmpfs"
bench/decode_write.sh 1024 64

echo "== progress events and hang-ups, file sink on tmpfs"
bench/progress_write.sh 512

echo "== validate through standard input"
work=$(mktemp -d /tmp/kelmar_vindle_report.XXXXXX)
trap 'rm -rf "$work"' EXIT
helper=$PWD/build/release/helper/kelmar_vindle_helper
head -c 1048576 /dev/urandom >"$work/image.iso"
sha=$(sha256sum "$work/image.iso" | cut -d' ' -f1)
target='{"scheme":"vindle-1","serial":"AC0E5717C4A91B02","vendor":"Acme","product":"Stick 32","vendor_id":4660,'
target+='"product_id":22136,"size":31004295168,"bus":"usb","is_system":false,"win_disk_number":null,"mac_bsd_name":"disk2"}'
printf '{"v":1,"cmd":"validate","job":{"job_id":"r","image_path":"%s","expected_sha256":"%s","expected_size":1048576,%s}}\n' \
  "$work/image.iso" "$sha" '"write_mode":"raw-dd-hybrid","target":'"$target"',"confirmed_label":"Acme","dry_run":false' \
  >"$work/validate.json"
grep -q '"ok":true' <("$helper" --fixture examples/devices.json <"$work/validate.json")
median_us() { # command...
  for _ in $(seq 101); do
    t0=$(date +%s%N)
    "$@" <"$work/validate.json" >/dev/null
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000))
  done | sort -n | sed -n 51p
}
helper_us=$(median_us "$helper" --fixture examples/devices.json)
true_us=$(median_us /bin/true)
awk -v h="$helper_us" -v t="$true_us" 'BEGIN {
  printf "validate median %.2f ms, /bin/true median %.2f ms (the helper adds %.2f ms)\n", h / 1000, t / 1000, (h - t) / 1000 }'

echo "== acting for a client: its process per job (start, one open, end) against a direct open"
chmod 0755 "$work"
chmod 0644 "$work/image.iso"
build/release/bench/kelmar_vindle_client_process "$work/image.iso" 501 nobody

echo "== inside the emulated machine"
bench/usb_guest.sh 64
