#!/usr/bin/env bash
# Checks the systemd units as configured by the build, without systemd as
# process 1: `systemd-analyze verify` must pass them (unknown or misspelt
# directives, a missing program, a socket without its service) and the
# service's exposure by `systemd-analyze security --offline=true` must stay
# at 2.5 or lower.
#   check_units.sh SOCKET_UNIT SERVICE_UNIT HELPER
# The service names the installed helper, which a build tree does not have:
# verify gets a copy whose ExecStart names HELPER instead (the same program),
# every option kept. Exit status 77 (skipped) without systemd-analyze.
set -euo pipefail
socket_unit=$1
service_unit=$2
helper=$3
max_exposure=2.5

analyze=$(command -v systemd-analyze || true)
if [[ -z $analyze ]]; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$socket_unit" "$work/"
sed -E "s|^ExecStart=[^ ]+|ExecStart=$helper|" "$service_unit" >"$work/$(basename "$service_unit")"
grep -q "^ExecStart=$helper " "$work/$(basename "$service_unit")" || {
  echo "FAIL: no ExecStart in $service_unit"
  exit 1
}

# verify prints its findings on standard error and fails on errors; a
# warning is a finding too.
if ! findings=$("$analyze" verify --man=no "$work/$(basename "$socket_unit")" "$work/$(basename "$service_unit")" 2>&1) ||
  [[ -n $findings ]]; then
  echo "FAIL: systemd-analyze verify:"
  echo "$findings"
  exit 1
fi
echo "systemd-analyze verify: clean"

report=$("$analyze" security --offline=true --no-pager "$work/$(basename "$service_unit")" 2>&1) || true
exposure=$(sed -nE 's/^→ Overall exposure level for [^:]*: ([0-9.]+).*/\1/p' <<<"$report")
if [[ -z $exposure ]]; then
  echo "FAIL: no exposure level in systemd-analyze security's report:"
  echo "$report"
  exit 1
fi
echo "exposure: $exposure (at most $max_exposure)"
if ! awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }'; then
  echo "FAIL: the service is more exposed than allowed; what is open:"
  grep '✗' <<<"$report"
  exit 1
fi
