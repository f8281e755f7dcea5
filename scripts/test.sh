#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: twice in-process
# and through the real binary (once optimised with warnings as errors, once
# under AddressSanitizer and UndefinedBehaviorSanitizer), then the static
# helper for real on emulated USB sticks inside a small Linux machine, then
# each fuzz target for a minute under the sanitizers. The helper is also built
# for a host that is neither macOS nor Linux, so that its platform files stay
# whole.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --workflow --preset dev
cmake --workflow --preset asan
cmake --workflow --preset none
cmake --workflow --preset guest
cmake --workflow --preset fuzz
