#!/usr/bin/env bash
# Fetches Debian's current amd64 kernel package with `apt-get download` (the
# host's own packages stay as they are), unpacks it under DIR and gathers the
# modules the guest needs (USB host, USB storage, SCSI disks, virtio disks,
# ext4)
# with their dependencies and a modules.dep for busybox modprobe. Prints the
# directory holding `vmlinuz` and `modules/`. Done once per kernel version.
#   prepare_kernel.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

resolve() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
package=$(resolve)
if [[ -z $package ]]; then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq >&2
  package=$(resolve)
fi
[[ -n $package ]] || { echo "cannot resolve the kernel package behind linux-image-amd64" >&2; exit 1; }
version=${package#linux-image-}
out=$dir/$version
if [[ -f $out/ready ]]; then
  echo "$out"
  exit 0
fi

rm -rf "$out"
mkdir -p "$out/deb"
(cd "$out/deb" && apt-get download -q "$package" >&2 2>/dev/null || apt-get download "$package" >&2)
dpkg-deb -x "$out"/deb/*.deb "$out/unpacked"
cp "$out/unpacked/boot/vmlinuz-$version" "$out/vmlinuz"

tree=$out/unpacked/lib/modules/$version
busybox depmod -b "$out/unpacked" "$version"
wanted=(
  kernel/crypto/crct10dif_generic.ko
  kernel/crypto/crc32c_generic.ko
  kernel/drivers/usb/host/xhci-pci.ko
  kernel/drivers/usb/storage/usb-storage.ko
  kernel/drivers/scsi/sd_mod.ko
  kernel/drivers/virtio/virtio_pci.ko
  kernel/drivers/block/virtio_blk.ko
  kernel/fs/ext4/ext4.ko
)
modules=$out/modules/lib/modules/$version
mkdir -p "$modules"
# The dependency closure, dependencies first, from the full modules.dep.
awk -v wanted="${wanted[*]}" '
  { name = $1; sub(/:$/, "", name); deps[name] = ""; for (i = 2; i <= NF; i++) deps[name] = deps[name] " " $i }
  function visit(m,   list, n, i) {
    if (m in seen) return
    seen[m] = 1
    n = split(deps[m], list, " ")
    for (i = 1; i <= n; i++) visit(list[i])
    print m ":" deps[m]
  }
  END { n = split(wanted, w, " "); for (i = 1; i <= n; i++) visit(w[i]) }
' "$tree/modules.dep" >"$modules/modules.dep"
while IFS=: read -r module _; do
  mkdir -p "$modules/$(dirname "$module")"
  cp "$tree/$module" "$modules/$module"
done <"$modules/modules.dep"
# The guest loads them by these names, in this order.
for module in "${wanted[@]}"; do basename "$module" .ko; done >"$out/modules/load.list"
rm -rf "$out/unpacked" "$out/deb"
touch "$out/ready"
echo "$out"
