#!/bin/busybox sh
# /init of the emulated machine: loads the USB storage and disk drivers,
# finds the emulated sticks by their USB serial and runs one of
#   kv_mode=test   the helper's real job and its refusals, one reply per line
#   kv_mode=bench  the helper's copy and read-back against dd with direct I/O
#   kv_mode=probe  nothing (the host checks that the machine starts at all)
# Every line meant for the host starts with "KV "; the machine powers off at
# the end, whatever happened.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp /mnt/a /newroot
mount -t tmpfs tmp /tmp

say() { echo "KV $*"; }
finish() {
  say done
  sync
  poweroff -f
}
trap finish EXIT

mode=$(sed -n 's/.*kv_mode=\([a-z]*\).*/\1/p' /proc/cmdline)
[ "$mode" = probe ] && exit 0

for module in $(cat /modules/load.list); do modprobe "$module" || say error "modprobe $module failed"; done

# The USB serial of a disk: from the nearest ancestor that is a USB device.
usb_serial() {
  dir=$(readlink -f "/sys/block/$1")
  while [ "$dir" != /sys ] && [ "$dir" != / ]; do
    if [ -f "$dir/idVendor" ]; then
      cat "$dir/serial" 2>/dev/null
      return
    fi
    dir=${dir%/*}
  done
}
find_disks() {
  A= B= C= D=
  for entry in /sys/block/sd*; do
    [ -e "$entry" ] || continue
    name=${entry##*/}
    case "$(usb_serial "$name")" in
      STICK-A) A=$name ;;
      STICK-B) B=$name ;;
      STICK-C) C=$name ;;
      STICK-D) D=$name ;;
    esac
  done
}
tries=0
while :; do
  find_disks
  [ -n "$A" ] && [ -n "$B" ] && [ -n "$C" ] && [ -n "$D" ] && [ -e /sys/block/vda ] && break
  tries=$((tries + 1))
  if [ $tries -gt 200 ]; then
    say error "disks did not appear: $(ls /sys/block)"
    exit 1
  fi
  sleep 0.1
done
say disks "A=$A B=$B C=$C D=$D"

. /job.env # IMAGE_SHA256, IMAGE_SIZE
bytes() { echo $(($(cat "/sys/block/$1/size") * 512)); }
sectors_read() {
  set -- $(cat "/sys/block/$1/stat")
  echo "$3"
}
sectors_written() {
  set -- $(cat "/sys/block/$1/stat")
  echo "$7"
}
size_a=$(bytes "$A")

# A request for the stick with `serial` and `size`, as the desktop app sends it.
request() { # command serial size
  printf '{"v":1,"cmd":"%s","job":{"job_id":"guest","image_path":"/image.iso","expected_sha256":"%s",' "$1" "$IMAGE_SHA256"
  printf '"expected_size":%s,"write_mode":"raw-dd-hybrid","target":{"scheme":"vindle-1","serial":"%s",' "$IMAGE_SIZE" "$2"
  printf '"vendor":"QEMU","product":"QEMU HARDDISK","vendor_id":null,"product_id":null,"size":%s,"bus":"usb",' "$3"
  printf '"is_system":false,"win_disk_number":null,"mac_bsd_name":null},"confirmed_label":"QEMU stick","dry_run":false}}\n'
}
# The helper as a purchaser runs it: real writes, pinned to stick A.
ask() { # name command serial size
  name=$1
  shift
  say reply "$name" "$(request "$@" | kelmar_vindle_helper --allow-real-write --purchaser --expect-serial STICK-A \
    --expect-size "$size_a" 2>&1)"
}

if [ "$mode" = bench ]; then
  megabytes=$((IMAGE_SIZE / 1048576))
  # Seconds, to 10 ms, that a command took.
  seconds() {
    time -p -o /tmp/time "$@" >/dev/null 2>&1
    awk '$1 == "real" { print $2 }' /tmp/time
  }
  for round in 1 2 3; do
    say bench dd_write "$(seconds dd if=/image.iso of="/dev/$A" bs=1M oflag=direct)"
    say bench dd_read "$(seconds dd if="/dev/$A" of=/dev/null bs=1M count="$megabytes" iflag=direct)"
    say bench helper "$(time -v -o /tmp/rss kelmar_vindle_raw_write --live-serial STICK-A /image.iso "$IMAGE_SHA256" 2>&1)"
    # busybox time takes the kernel's maximum resident size (KiB) for a count
    # of 4 KiB pages, so its figure is four times the real one.
    say bench helper_peak_kib "$(awk -F: '/Maximum resident/ { print int(($2 + 0) / 4) }' /tmp/rss)"
  done
  exit 0
fi

ask validate validate STICK-A "$size_a"

# An active swap area on the stick stops the write before anything is written.
mkswap "/dev/$A" >/dev/null
swapon "/dev/$A"
ask swap write STICK-A "$size_a"
swapoff "/dev/$A"

# So does a mounted file system that is busy.
mke2fs "/dev/$A" >/dev/null 2>&1
mount -t ext4 "/dev/$A" /mnt/a
(cd /mnt/a && exec sleep 600) &
holder=$!
sleep 0.2
ask busy write STICK-A "$size_a"
kill $holder
wait $holder 2>/dev/null

# A client that may not read the image (the user sudo names) is refused as
# the system refuses it, before anything is unmounted or written.
chmod 600 /image.iso
say reply other_user "$(request write STICK-A "$size_a" | SUDO_UID=65534 SUDO_GID=65534 kelmar_vindle_helper \
  --allow-real-write --purchaser --expect-serial STICK-A --expect-size "$size_a" 2>&1)"
chmod 644 /image.iso

# The real job: the stick is still mounted (no longer busy); the helper
# unmounts it, writes, flushes and reads back from the device.
before=$(sectors_read "$A")
ask write write STICK-A "$size_a"
after=$(sectors_read "$A")
say fact read_back_bytes $(((after - before) * 512))
say fact still_mounted "$(grep -c ' /mnt/a ' /proc/mounts)"

# The same job asking for progress: every event line, then the result.
request write STICK-A "$size_a" | sed 's/^{"v":1,/&"progress":true,/' | kelmar_vindle_helper --allow-real-write \
  --purchaser --expect-serial STICK-A --expect-size "$size_a" 2>&1 | sed 's/^/KV event progress /'

# A client that goes away: standard output is read until the first
# "writing" event, then its read end is closed. Stick D is slow (the host
# caps it), so the job is still copying when its reader has gone.
size_d=$(bytes "$D")
mkfifo /tmp/events
before=$(sectors_written "$D")
request write STICK-D "$size_d" | sed 's/^{"v":1,/&"progress":true,/' | kelmar_vindle_helper --allow-real-write \
  --purchaser --expect-serial STICK-D --expect-size "$size_d" >/tmp/events 2>/tmp/hang_up.err &
helper=$!
say fact hang_up_seen "$(sed -n '/"phase":"writing"/{s/.*"bytes_done":\([0-9]*\).*/\1/p;q}' </tmp/events)"
status=0
wait $helper || status=$?
say fact hang_up_status "$status"
say fact hang_up_written_bytes $((($(sectors_written "$D") - before) * 512))
say reply hang_up "$(cat /tmp/hang_up.err)"

# Refusals: another stick, the right stick with another size, the virtio disk.
ask other_stick write STICK-B "$(bytes "$B")"
ask other_size write STICK-A $((size_a + 512))
ask virtio write "" "$(bytes vda)"

# A USB stick that holds the root file system is a system disk: run the
# helper chrooted into a file system on stick C.
mke2fs "/dev/$C" >/dev/null 2>&1
mount -t ext4 "/dev/$C" /newroot
mkdir -p /newroot/bin /newroot/proc /newroot/sys /newroot/dev
cp /bin/busybox /bin/kelmar_vindle_helper /image.iso /newroot/
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
size_c=$(bytes "$C")
say reply root_stick "$(request write STICK-C "$size_c" | chroot /newroot /kelmar_vindle_helper --allow-real-write \
  --purchaser --expect-serial STICK-C --expect-size "$size_c" 2>&1)"
umount /newroot/proc /newroot/sys /newroot/dev /newroot
