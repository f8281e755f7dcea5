#!/usr/bin/env bash
# What asking for progress costs, and how soon a client's hang-up stops the
# job, through the file sink on tmpfs (/dev/shm):
#   - one whole `write` with and without "progress":true, in alternating
#     order, the median of five runs each, and their ratio
#   - the client hanging up after the first "writing" event, in standard
#     input mode (the reader of standard output goes away) and on a Unix
#     socket (the client closes the connection): the time from the hang-up
#     to the helper's exit and the bytes the sink still got after it, against
#     one 1 MiB chunk; medians (and the largest) of seven runs each
#
#   bench/progress_write.sh [size in MiB, default 512]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-512}
source bench/common.sh "$mib"
helper=$PWD/build/release/helper/kelmar_vindle_helper
hang_up=$PWD/build/release/bench/kelmar_vindle_hang_up
sink=/dev/shm/kelmar_vindle_bench_sink.$$
trap 'rm -rf "$work" "$sink"' EXIT

target='{"scheme":"vindle-1","serial":"AC0E5717C4A91B02","vendor":"Acme","product":"Stick 32","vendor_id":4660,'
target+='"product_id":22136,"size":31004295168,"bus":"usb","is_system":false,"mac_bsd_name":"disk4"}'
job='"job":{"job_id":"bench","image_path":"'$image'","expected_sha256":"'$sha'","expected_size":'$size','
job+='"write_mode":"raw-dd-hybrid","target":'$target',"confirmed_label":"bench","dry_run":false}'
printf '{"v":1,"cmd":"write",%s}\n' "$job" >"$work/plain.json"
printf '{"v":1,"cmd":"write","progress":true,%s}\n' "$job" >"$work/progress.json"

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Nanoseconds one whole write of request $1 took; its last line must be ok.
run_write() {
  rm -f "$sink"
  local t0 t1
  t0=$(now)
  "$helper" --fixture examples/devices.json --sink "$sink" <"$1" >"$work/reply"
  t1=$(now)
  tail -n 1 "$work/reply" | grep -q '"ok":true' || { cat "$work/reply" >&2; exit 1; }
  echo $((t1 - t0))
}
run_write "$work/plain.json" >/dev/null  # warm the page cache
plain=() progress=()
for round in 1 2 3 4 5; do
  # Each goes first every other round: the second of a pair finds the
  # memory the first freed still warm.
  if ((round % 2)); then
    plain+=("$(run_write "$work/plain.json")")
    progress+=("$(run_write "$work/progress.json")")
    events=$(grep -c '"evt":"progress"' "$work/reply")
  else
    progress+=("$(run_write "$work/progress.json")")
    plain+=("$(run_write "$work/plain.json")")
  fi
done
plain_ns=$(printf '%s\n' "${plain[@]}" | median)
progress_ns=$(printf '%s\n' "${progress[@]}" | median)
awk -v p="$plain_ns" -v e="$progress_ns" -v mib="$mib" -v events="$events" 'BEGIN {
  printf "image %d MiB into the file sink on tmpfs: write %.0f ms, with \"progress\":true %.0f ms (%d progress events), ",
         mib, p / 1e6, e / 1e6, events
  printf "ratio %.3f, medians of 5\n", e / p }'

# One line per run of the tool: "hang_up_ms M sink_bytes_after B status S".
hang_ups() { # label, then the tool's leading arguments
  local label=$1
  shift
  for _ in 1 2 3 4 5 6 7; do
    "$hang_up" "$@" "$work/progress.json" "$sink" "$helper" --fixture examples/devices.json --sink "$sink"
  done >"$work/hang_ups"
  local ms bytes statuses
  ms=$(awk '{ print $2 }' "$work/hang_ups" | median)
  bytes=$(awk '{ print $4 }' "$work/hang_ups" | median)
  statuses=$(awk '{ print $6 }' "$work/hang_ups" | sort -u | paste -sd,)
  awk -v label="$label" -v ms="$ms" -v b="$bytes" -v statuses="$statuses" '
    { if ($2 > max_ms) max_ms = $2; if ($4 > max_b) max_b = $4 }
    END {
      printf "hang-up after the first writing event, %s: helper exit %.2f ms later (largest %.2f), ", label, ms, max_ms
      printf "sink got %d bytes after it (largest %d = %.2f of one 1 MiB chunk), exit status %s, medians of %d\n",
             b, max_b, max_b / 1048576, statuses, NR }' "$work/hang_ups"
}
hang_ups "stdout reader exits"
hang_ups "socket client closes" --socket "$work/helper.sock"
