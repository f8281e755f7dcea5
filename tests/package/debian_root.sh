#!/usr/bin/env bash
# Makes, once, a fresh Debian 12 root (debootstrap --variant=minbase
# bookworm) for the package test and keeps it as a tarball outside any build
# tree, so that a clean clone reuses it:
#   $KV_CI_CACHE/bookworm-minbase.tar   (KV_CI_CACHE: /var/cache/kelmar-vindle-ci)
# Does nothing when the tarball is there. Several runs at once take turns (a
# lock); a half-made root is never left under the tarball's name. Needs root
# and debootstrap; exit status 1 with the reason when the mirror cannot be
# reached. Prints the tarball's path.
set -euo pipefail
cache=${KV_CI_CACHE:-/var/cache/kelmar-vindle-ci}
tarball=$cache/bookworm-minbase.tar
mirror=${KV_DEBIAN_MIRROR:-http://deb.debian.org/debian}

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [[ ! -s $tarball ]]; then
  work=$(mktemp -d -p "$cache" root.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  if ! debootstrap --variant=minbase bookworm "$work/root" "$mirror" >"$work/log" 2>&1; then
    echo "debootstrap of bookworm from $mirror failed:" >&2
    tail -n 5 "$work/log" >&2
    exit 1
  fi
  # The downloaded packages are installed already; apt fetches anew.
  rm -f "$work/root/var/cache/apt/archives/"*.deb
  tar -C "$work/root" -cf "$work/root.tar" .
  mv "$work/root.tar" "$tarball"
fi
echo "$tarball"
