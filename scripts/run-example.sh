#!/usr/bin/env bash
# Builds the helper and runs its main job on the bundled example: the mock
# disk list examples/devices.json stands in for the machine's disks and a file
# sink for the USB disk. A generated image is validated, then written into the
# sink and verified; both replies are printed.
#
# It installs only what building (release preset) and running the helper and
# the front end need (scripts/install-deps.sh --run-only), not the test
# toolchain. The package manager's and the build's output go to
# build/run-example.log, named when a step fails. The example's files live in
# a temporary folder that is removed however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

mkdir -p build
log=$PWD/build/run-example.log
: >"$log"

# Runs a step with its output in the log; a failed step names the log.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    echo "failed: $*" >&2
    echo "its output is in $log" >&2
    exit 1
  fi
}

echo "-- installing the Debian packages the build needs, where missing"
quietly scripts/install-deps.sh --run-only
echo "-- building the helper and the front end (cmake preset release)"
quietly cmake --preset release
quietly cmake --build --preset release
helper=$PWD/build/release/helper/kelmar_vindle_helper
echo

work=$(mktemp -d /tmp/kelmar_vindle_example.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
image=$work/installer.img
sink=$work/sink/usb.img
head -c 3670016 /dev/urandom >"$image"   # 3.5 MiB
sha=$(sha256sum "$image" | cut -d' ' -f1)
size=$(stat -c %s "$image")

# The stick the user confirmed: it has since been re-plugged and now shows up
# as disk4 in the live list, not disk2 as when the user picked it.
target='{"scheme":"vindle-1","serial":"AC0E5717C4A91B02","vendor":"Acme","product":"Stick 32",'
target+='"vendor_id":4660,"product_id":22136,"size":31004295168,"bus":"usb","is_system":false,'
target+='"win_disk_number":null,"mac_bsd_name":"disk2"}'
job='{"job_id":"example-1","image_path":"'$image'","expected_sha256":"'$sha'","expected_size":'$size','
job+='"write_mode":"raw-dd-hybrid","target":'$target',"confirmed_label":"Acme Stick 32","dry_run":false}'

ask() {
  local request='{"v":1,"cmd":"'$1'","job":'$job'}'
  echo "> $request"
  printf '%s\n' "$request" | "$helper" --fixture examples/devices.json --sink "$sink" | sed 's/^/< /'
}

echo "== validate: re-identify the confirmed stick among the example disks"
ask validate
echo
echo "== write: check the image, write it into the sink, read it back"
ask write
echo
if cmp -s "$image" "$sink"; then
  echo "sink $sink holds the image: $size bytes, sha256 $sha"
else
  echo "sink $sink does not hold the image" >&2
  exit 1
fi

echo
echo "== the same write from the terminal front end, with the image's published digest"
(cd "$work" && sha256sum installer.img >SHA256SUMS)
"$PWD/build/release/helper/kelmar-vindle" write "$image" disk4 --fixture examples/devices.json \
  --sink "$work/sink/front-end.img" --sha256-file "$work/SHA256SUMS" --yes
