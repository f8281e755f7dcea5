#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: twice in-process
# and through the real binary (once optimised with warnings as errors, once
# under AddressSanitizer and UndefinedBehaviorSanitizer), then the static
# helper for real on emulated USB sticks inside a small Linux machine, then
# each fuzz target for a minute under the sanitizers. The helper is also built
# for a host that is neither macOS nor Linux, so that its platform files stay
# whole, and cross-built for macOS (arm64 and x86_64) where a macOS SDK is at
# hand (scripts/macos-sdk.sh says where). Last, the Debian package is built,
# checked with lintian, installed into a fresh Debian 12 root, run and purged.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The package test's Debian 12 root (debootstrap, made once and cached),
# prepared in the background while the builds run; the package test waits
# for it and says why it skips when there is none.
mkdir -p build
if [[ $(id -u) -eq 0 ]]; then
  tests/package/debian_root.sh >build/debian-root.log 2>&1 &
  debian_root=$!
fi
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
if [[ -n ${debian_root-} ]]; then
  wait "$debian_root" || true
fi
scripts/test-package.sh
