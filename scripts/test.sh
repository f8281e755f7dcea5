#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test twice: once
# optimised with warnings as errors, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --workflow --preset dev
cmake --workflow --preset asan
