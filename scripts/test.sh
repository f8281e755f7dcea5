#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: twice in-process
# and through the real binary (once optimised with warnings as errors, once
# under AddressSanitizer and UndefinedBehaviorSanitizer), then the static
# helper for real on emulated USB sticks inside a small Linux machine, then
# each fuzz target for a minute under the sanitizers. The helper is also built
# for a host that is neither macOS nor Linux, so that its platform files stay
# whole, and cross-built for macOS (arm64 and x86_64) where a macOS SDK is at
# hand (scripts/macos-sdk.sh says where).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --workflow --preset dev
cmake --workflow --preset asan
cmake --workflow --preset none
if scripts/macos-sdk.sh >/dev/null; then
  cmake --workflow --preset macos-arm64
  cmake --workflow --preset macos-x86_64
else
  echo "macOS cross-build SKIPPED: no macOS SDK (set KV_MACOS_SDK, or put one at ../shared/macos-sdk/MacOSX13.3.sdk)"
fi
cmake --workflow --preset guest
cmake --workflow --preset fuzz
