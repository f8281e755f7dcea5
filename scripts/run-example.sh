#!/usr/bin/env bash
# Builds the helper and starts it on the bundled example: the mock disk list in
# examples/ stands in for the machine's disks and a file sink for the USB disk.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

helper=build/release/helper/kelmar_vindle_helper
work=build/example
mkdir -p "$work"

echo "== start-up with the example disk list and a file sink"
status=0
"$helper" --fixture examples/devices.json --sink "$work/sink.img" </dev/null || status=$?
echo "(exit status $status)"
