#!/usr/bin/env bash
# Checks the built package: its contents, then installing it into a fresh
# Debian 12 root with apt as a user would, running the installed programs,
# the socket unit's enabling, and purging it without leftovers.
#   check_package.sh DEB
# Needs root (chroot, mounts) and Debian's mirror (apt fetches what the
# package depends on); without them it says SKIPPED and why, and exits 0.
# The root comes from debian_root.sh (made once, kept as a tarball). The
# chroot's mounts live in a mount namespace of this script's own, so they go
# with it however it ends; the root's copy is removed afterwards.
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# What the package holds, with the modes: the programs, the units, the
# polkit action, the manual pages and the docs, nothing else (no test
# program, mock list or benchmark tool).
expected='drwxr-xr-x ./
drwxr-xr-x ./lib/
drwxr-xr-x ./lib/systemd/
drwxr-xr-x ./lib/systemd/system/
-rw-r--r-- ./lib/systemd/system/kelmar-vindle.socket
-rw-r--r-- ./lib/systemd/system/kelmar-vindle@.service
drwxr-xr-x ./usr/
drwxr-xr-x ./usr/bin/
-rwxr-xr-x ./usr/bin/kelmar-vindle
drwxr-xr-x ./usr/libexec/
drwxr-xr-x ./usr/libexec/kelmar-vindle/
-rwxr-xr-x ./usr/libexec/kelmar-vindle/kelmar_vindle_decoder
-rwxr-xr-x ./usr/libexec/kelmar-vindle/kelmar_vindle_helper
drwxr-xr-x ./usr/share/
drwxr-xr-x ./usr/share/doc/
drwxr-xr-x ./usr/share/doc/kelmar-vindle/
-rw-r--r-- ./usr/share/doc/kelmar-vindle/README.md.gz
-rw-r--r-- ./usr/share/doc/kelmar-vindle/changelog.gz
-rw-r--r-- ./usr/share/doc/kelmar-vindle/copyright
drwxr-xr-x ./usr/share/lintian/
drwxr-xr-x ./usr/share/lintian/overrides/
-rw-r--r-- ./usr/share/lintian/overrides/kelmar-vindle
drwxr-xr-x ./usr/share/man/
drwxr-xr-x ./usr/share/man/man1/
-rw-r--r-- ./usr/share/man/man1/kelmar-vindle.1.gz
drwxr-xr-x ./usr/share/man/man8/
-rw-r--r-- ./usr/share/man/man8/kelmar_vindle_helper.8.gz
drwxr-xr-x ./usr/share/polkit-1/
drwxr-xr-x ./usr/share/polkit-1/actions/
-rw-r--r-- ./usr/share/polkit-1/actions/com.kelmar-vindle.write-disk.policy'
# Owner root/root everywhere; the docs/ pages may come and go, compressed or
# not (dh_compress leaves a page under 4 KiB as it is).
listing=$(dpkg-deb -c "$deb")
if grep -v ' root/root ' <<<"$listing"; then fail "entries not owned by root/root (above)"; fi
contents=$(awk '{ print $1, $6 }' <<<"$listing" | grep -vE '^-rw-r--r-- \./usr/share/doc/kelmar-vindle/[a-z_-]+\.md(\.gz)?$' || true)
contents=$(printf '%s\n%s\n' "$contents" "$(grep -F README.md.gz <<<"$expected")" | sort -u)
if ! difference=$(diff <(sort <<<"$expected") <(sort <<<"$contents")); then
  fail "the package's contents differ from the expected (< missing, > unexpected):
$difference"
fi
echo "contents: as expected"

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIPPED: installing into a Debian 12 root needs root (chroot and mounts)"
  exit 0
fi
if ! tarball=$("$here/debian_root.sh"); then
  echo "SKIPPED: no Debian 12 root: debootstrap cannot reach the mirror (above)"
  exit 0
fi

root=$(mktemp -d -p /var/tmp kelmar-vindle-root.XXXXXX)
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xf "$tarball"
cp "$deb" "$root/tmp/"
# Services are never started in a chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# Everything that runs inside the root, in a mount namespace of its own.
# Exit status 3: apt could not reach the mirror.
inside=$(
  cat <<'SCRIPT'
set -euo pipefail
root=$1
deb=$2
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -qq || exit 3
in_root sh -c "cd /tmp && apt-get install -y -qq --no-install-recommends ./$deb" >"$root/tmp/install.log" 2>&1 || {
  tail -n 20 "$root/tmp/install.log"
  grep -q 'Could not resolve\|Failed to fetch' "$root/tmp/install.log" && exit 3
  echo "FAIL: apt install ./$deb"
  exit 1
}
echo "installed: $(in_root dpkg-query -W -f '${Package} ${Version}, ' kelmar-vindle polkitd)"
in_root kelmar-vindle --help | grep -q '^Usage: kelmar-vindle' || { echo "FAIL: kelmar-vindle --help"; exit 1; }
version=$(in_root /usr/libexec/kelmar-vindle/kelmar_vindle_helper --version)
[[ $version == "kelmar_vindle_helper $(dpkg-deb -f "$root/tmp/$deb" Version)" ]] || { echo "FAIL: helper --version: $version"; exit 1; }
in_root /usr/libexec/kelmar-vindle/kelmar_vindle_helper --help | grep -q '^Usage: kelmar_vindle_helper' || { echo "FAIL: helper --help"; exit 1; }
echo "runs: kelmar-vindle --help, helper --version ($version) and --help"
link=$root/etc/systemd/system/sockets.target.wants/kelmar-vindle.socket
[[ $(readlink "$link") == /lib/systemd/system/kelmar-vindle.socket ]] || { echo "FAIL: the socket unit is not enabled"; exit 1; }
echo "enabled: sockets.target.wants/kelmar-vindle.socket"
files=$(in_root dpkg-query -L kelmar-vindle)
in_root apt-get purge -y -qq kelmar-vindle >"$root/tmp/purge.log" 2>&1 || { tail -n 20 "$root/tmp/purge.log"; echo "FAIL: apt purge"; exit 1; }
left=""
while read -r path; do
  [[ -e $root$path && ! -d $root$path ]] && left+=" $path"
done <<<"$files"
[[ -z $left && ! -L $link && ! -e $root/var/lib/systemd/deb-systemd-helper-enabled/kelmar-vindle.socket.dsh-also ]] ||
  { echo "FAIL: left after purge:$left"; exit 1; }
state=$(in_root dpkg-query -W -f '${db:Status-Status}' kelmar-vindle 2>/dev/null || true)
[[ -z $state || $state == not-installed ]] || { echo "FAIL: dpkg still has the package ($state)"; exit 1; }
echo "purged: no file of the package left, the socket unit's link gone"
umount "$root/dev" "$root/proc"
SCRIPT
)
status=0
unshare --mount --propagation private bash -c "$inside" inside "$root" "$(basename "$deb")" || status=$?
case $status in
  0) echo "package test: passed" ;;
  3) echo "SKIPPED: installing needs Debian's mirror, which apt cannot reach from here" ;;
  *) fail "installing, running or purging the package (above)" ;;
esac
