#!/usr/bin/env bash
# Inside the emulated machine of the USB guest test: the helper's copy and
# read-back phases (the Linux raw backend, on the emulated stick found by its
# serial) against busybox dd bs=1M with oflag=direct and iflag=direct on the
# same stick, medians of three rounds each. Three runs: the stick as fast as
# the emulator makes it, and capped at 40 and 20 MiB/s like real sticks.
#
#   bench/usb_guest.sh [image size in MiB, default 64]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset guest >/dev/null
cmake --build --preset guest >/dev/null
work=$PWD/build/guest/bench-work
run() {
  BENCH_IMAGE_MIB=${1:-64} tests/guest/run_usb_guest.sh bench build/guest/helper/kelmar_vindle_helper \
    build/guest/bench/kelmar_vindle_raw_write "$work" | grep -v '^guest ran'
}
run "${1:-64}"
STICK_BYTES_PER_SECOND=$((40 * 1048576)) run "${1:-64}" | tail -n 4
STICK_BYTES_PER_SECOND=$((20 * 1048576)) run "${1:-64}" | tail -n 4
