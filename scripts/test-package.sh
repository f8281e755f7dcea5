#!/usr/bin/env bash
# The package step of scripts/test.sh, runnable alone: builds the Debian
# package with scripts/build-deb.sh (lintian must find no error), then
# checks its contents and installs, runs and purges it in a fresh Debian 12
# root (tests/package/check_package.sh, which skips what this machine cannot
# do and says why). Says how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
deb=$(scripts/build-deb.sh | tail -n 1)
echo "package built: $deb ($((SECONDS - start)) s)"
tests/package/check_package.sh "$deb"
echo "package step: $((SECONDS - start)) s"
