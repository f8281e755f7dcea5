#!/bin/busybox sh
# /init of the emulated machine: loads the USB storage and disk drivers,
# finds the emulated sticks by their USB serial and runs one of
#   kv_mode=test   the helper's real job and its refusals, then the front
#                  end's, one reply per line
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
# Sticks A to D by their letter; the fault sticks by their serial (PW1 ...).
fault_sticks="PW1 PW2 PV1 PV2 EW ER RO SM PT PT2"
find_disks() {
  A= B= C= D=
  for serial in $fault_sticks; do eval "$serial="; done
  for entry in /sys/block/sd*; do
    [ -e "$entry" ] || continue
    name=${entry##*/}
    serial=$(usb_serial "$name")
    case "$serial" in
      STICK-A) A=$name ;;
      STICK-B) B=$name ;;
      STICK-C) C=$name ;;
      STICK-D) D=$name ;;
      *) for fault in $fault_sticks; do [ "$serial" = "$fault" ] && eval "$fault=$name"; done ;;
    esac
  done
}
all_found() {
  [ "$mode" = bench ] && return 0
  for serial in $fault_sticks; do eval "[ -n \"\$$serial\" ]" || return 1; done
}
tries=0
while :; do
  find_disks
  [ -n "$A" ] && [ -n "$B" ] && [ -n "$C" ] && [ -n "$D" ] && all_found && [ -e /sys/block/vda ] && break
  tries=$((tries + 1))
  if [ $tries -gt 200 ]; then
    say error "disks did not appear: $(ls /sys/block)"
    exit 1
  fi
  sleep 0.1
done
say disks "A=$A B=$B C=$C D=$D" "$(for serial in $fault_sticks; do eval "printf '%s=%s ' $serial \$$serial"; done)"

. /job.env # IMAGE_SHA256, IMAGE_SIZE, WRONG_SHA256
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

# The front end runs as root, so that it starts the helper (beside it in
# /bin) itself. front_end runs a command and says its exit status, the bytes
# written on `disk` meanwhile and its last line of standard error.
front_end() { # name disk command...
  name=$1 disk=$2
  shift 2
  before=$(sectors_written "$disk")
  status=0
  "$@" >"/tmp/$name.out" 2>"/tmp/$name.err" || status=$?
  say fact "${name}_status" "$status"
  say fact "${name}_written_bytes" $((($(sectors_written "$disk") - before) * 512))
  say reply "$name" "$(tail -n 1 "/tmp/$name.err")"
}
# A validate request whose target is `identity`, as a disk list carries it.
validate_request() { # identity
  printf '{"v":1,"cmd":"validate","job":{"job_id":"guest","image_path":"/image.iso","expected_sha256":"%s",' "$IMAGE_SHA256"
  printf '"expected_size":%s,"write_mode":"raw-dd-hybrid","target":%s,"confirmed_label":"QEMU stick","dry_run":false}}\n' \
    "$IMAGE_SIZE" "$1"
}

# Its list: each USB disk's identity, validated by the helper, resolves to
# that very record.
kelmar-vindle list --json >/tmp/list.json 2>&1
say reply fe_list "$(cat /tmp/list.json)"
same=no
[ "$(cat /tmp/list.json)" = "$(kelmar_vindle_helper --list-disks 2>&1)" ] && same=yes
say fact fe_list_is_list_disks "$same"
sed 's/^\[//; s/\]$//; s/},{"id":/}\n{"id":/g' /tmp/list.json | grep -F '"is_usb":true' >/tmp/listed
say fact fe_listed_usb "$(sed 's/.*"identity":{[^}]*"serial":"\([^"]*\)".*/\1/' /tmp/listed | sort | tr '\n' ,)"
resolved=0
while read -r record; do
  reply=$(validate_request "$(printf '%s\n' "$record" | sed 's/.*"identity":\(.*\)}$/\1/')" | kelmar_vindle_helper 2>&1)
  if [ "$reply" = "{\"evt\":\"result\",\"ok\":true,\"resolved_device\":$record}" ]; then
    resolved=$((resolved + 1))
  else
    say reply fe_list_validate "$reply"
  fi
done </tmp/listed
say fact fe_list_validated "$resolved/$(wc -l </tmp/listed)"

# Its write onto stick C, read back here past the page cache.
say fact stick_b "$B"
say fact stick_c "$C"
say fact stick_d "$D"
front_end fe_write "$C" kelmar-vindle write /image.iso "$C" --sha256 "$IMAGE_SHA256" --yes --no-eject
say reply fe_write_out "$(head -n 1 /tmp/fe_write.out)"
say fact fe_write_out_lines "$(wc -l </tmp/fe_write.out)"
same=no
dd if="/dev/$C" bs=1M count=$((IMAGE_SIZE / 1048576 + 1)) iflag=direct 2>/dev/null | head -c "$IMAGE_SIZE" |
  cmp -s - /image.iso && same=yes
say fact fe_write_holds_image "$same"

# A digest that is not the image's: the helper refuses it before anything is
# written on stick B.
front_end fe_wrong "$B" kelmar-vindle write /image.iso "$B" --sha256 "$WRONG_SHA256" --yes

# Interrupted once its output shows the writing phase, on the slow stick D:
# the front end hangs up on the helper, which stops the job.
mkfifo /tmp/fe_progress
before=$(sectors_written "$D")
status=0
kelmar-vindle write /image.iso "$D" --sha256 "$IMAGE_SHA256" --yes >/dev/null 2>/tmp/fe_progress &
frontend=$!
seen=
while read -r line; do
  printf '%s\n' "$line" >>/tmp/fe_stop.err
  case $line in writing*) [ -n "$seen" ] || { seen=yes; kill -INT $frontend; } ;; esac
done </tmp/fe_progress
wait $frontend || status=$?
say fact fe_stop_seen "$seen"
say fact fe_stop_status "$status"
say fact fe_stop_written_bytes $((($(sectors_written "$D") - before) * 512))
say fact fe_stop_helpers_left "$(cat /proc/[0-9]*/comm 2>/dev/null | grep -c '^kelmar_vindle_h')"
say reply fe_stop "$(tail -n 1 /tmp/fe_stop.err)"

# Disks it refuses by name, before it starts the helper: the virtio disk here,
# the root file system's stick below.
front_end fe_virtio vda kelmar-vindle write /image.iso vda --yes

# A USB stick that holds the root file system is a system disk: run the
# helper chrooted into a file system on stick C.
mke2fs "/dev/$C" >/dev/null 2>&1
mount -t ext4 "/dev/$C" /newroot
mkdir -p /newroot/bin /newroot/proc /newroot/sys /newroot/dev
cp /bin/busybox /bin/kelmar_vindle_helper /bin/kelmar-vindle /image.iso /newroot/ ||
  say error "stick C has no room for the root file system"
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
size_c=$(bytes "$C")
say reply root_stick "$(request write STICK-C "$size_c" | chroot /newroot /kelmar_vindle_helper --allow-real-write \
  --purchaser --expect-serial STICK-C --expect-size "$size_c" 2>&1)"
# Read-only from here, so that the stick's written sectors stay put.
mount -o remount,ro /newroot
front_end fe_root_stick "$C" chroot /newroot /kelmar-vindle write /image.iso "$C" --yes
umount /newroot/proc /newroot/sys /newroot/dev /newroot

# Faults on real USB storage: sticks pulled from the controller (the host
# removes them when asked), sticks whose writes or reads fail at 2 MiB, a
# write-protected stick and one too small for the image. Each through the
# helper and through the front end.

# Hundredths of a second since the machine started.
now() {
  read -r up _ </proc/uptime
  echo "${up%.*}${up#*.}"
}
# What is left of a disk after a job: its mounts, the descriptors any
# process holds on it, and whether anything holds it exclusively (the
# kernel re-reads a partition table only when nothing does).
left_of() { # disk
  mounts=$(grep -c "^/dev/$1" /proc/mounts)
  descriptors=0
  for fd in /proc/[0-9]*/fd/*; do
    case "$(readlink "$fd" 2>/dev/null)" in "/dev/$1" | "/dev/$1 "* | "/dev/$1"[0-9]*) descriptors=$((descriptors + 1)) ;; esac
  done
  held=no
  [ -e "/sys/block/$1" ] && ! blockdev --rereadpt "/dev/$1" 2>/dev/null && held=yes
  echo "mounts=$mounts,descriptors=$descriptors,exclusive=$held"
}
# The helper pinned to one fault stick, its events on standard output.
helper_on() { # serial disk [job members]
  size=$(bytes "$2")
  request write "$1" "$size" | sed "s/^{\"v\":1,/&\"progress\":true,/; s/\"dry_run\":false}/\"dry_run\":false${3:-}}/" |
    kelmar_vindle_helper --allow-real-write --purchaser --expect-serial "$1" --expect-size "$size"
}
front_end_on() { # disk [options]
  disk=$1
  shift
  kelmar-vindle write /image.iso "$disk" --sha256 "$IMAGE_SHA256" --yes "$@"
}
# Waits (bounded) until the disk's `field` of its stat (3: sectors read, 7:
# written) has grown past `from`: the phase has reached the stick itself.
moved_past() { # disk field from
  tries=0
  while [ "$(awk -v f="$2" '{ print $f }' "/sys/block/$1/stat" 2>/dev/null || echo 0)" -le "$3" ]; do
    tries=$((tries + 1))
    [ $tries -gt 200 ] && return
    sleep 0.02
  done
}
helper_pids() {
  for dir in /proc/[0-9]*; do
    [ "$(cat "$dir/comm" 2>/dev/null)" = kelmar_vindle_h ] && echo "${dir#/proc/}"
  done
}
# Whether the disk leaves the system within ten seconds.
gone() { # disk
  tries=0
  while [ -e "/sys/block/$1" ]; do
    tries=$((tries + 1))
    [ $tries -gt 500 ] && { echo no; return; }
    sleep 0.02
  done
  echo yes
}
# Runs a command with its output lines (the helper's events, or the front
# end's progress and last words) read as they come; at the first line
# matching `trigger`, once the stick's sectors written (`field` 7) or read
# (3) have moved on, the host is asked to pull the stick `serial` ("-": no
# pull). Says the exit status, whether the stick left, the last line, the
# hundredths of a second from its removal (else from the start) to the end
# of the output, and what is left of the disk.
fault_case() { # name disk serial trigger field command...
  name=$1 disk=$2 serial=$3 trigger=$4 field=$5
  shift 5
  mkfifo "/tmp/$name.pipe"
  before=$(sectors_written "$disk" 2>/dev/null || echo 0)
  "$@" >"/tmp/$name.pipe" 2>&1 &
  pid=$!
  start=$(now)
  pulled=
  while read -r line; do
    printf '%s\n' "$line" >>"/tmp/$name.log"
    if [ -z "$pulled" ] && [ "$trigger" != - ]; then
      case $line in $trigger)
        moved_past "$disk" "$field" "$(awk -v f="$field" '{ print $f }' "/sys/block/$disk/stat")"
        # The helper waits, stopped, until the stick is gone, so that
        # however slow the host is to pull it, the pull lands in this phase;
        # the time to answer is counted from the disk's removal.
        helpers=$(helper_pids)
        kill -STOP $helpers
        say pull "$serial"
        pulled=$(gone "$disk")
        start=$(now)
        kill -CONT $helpers
        ;;
      esac
    fi
  done <"/tmp/$name.pipe"
  status=0
  wait $pid || status=$?
  say fact "${name}_hundredths" $(($(now) - start))
  say fact "${name}_status" "$status"
  say fact "${name}_pulled" "${pulled:-no}"
  say fact "${name}_left" "$(left_of "$disk")"
  say fact "${name}_helpers_left" "$(cat /proc/[0-9]*/comm 2>/dev/null | grep -c '^kelmar_vindle_h')"
  [ -e "/sys/block/$disk" ] && say fact "${name}_written_bytes" $((($(sectors_written "$disk") - before) * 512))
  say reply "$name" "$(tail -n 1 "/tmp/$name.log")"
}

say fact stick_ew "$EW"
say fact stick_er "$ER"
fault_case pull_write "$PW1" PW1 '*"phase":"writing"*' 7 helper_on PW1 "$PW1"
fault_case fe_pull_write "$PW2" PW2 'writing*' 7 front_end_on "$PW2"
fault_case pull_verify "$PV1" PV1 '*"phase":"verifying"*' 3 helper_on PV1 "$PV1"
fault_case fe_pull_verify "$PV2" PV2 'verifying*' 3 front_end_on "$PV2"
fault_case write_error "$EW" - - - helper_on EW "$EW"
fault_case fe_write_error "$EW" - - - front_end_on "$EW"
fault_case read_error "$ER" - - - helper_on ER "$ER"
fault_case fe_read_error "$ER" - - - front_end_on "$ER"
fault_case read_only "$RO" - - - helper_on RO "$RO"
fault_case fe_read_only "$RO" - - - front_end_on "$RO"

# Too small, with a mounted file system that must stay mounted.
mkdir -p /mnt/small
mke2fs "/dev/$SM" >/dev/null 2>&1
mount -t ext4 "/dev/$SM" /mnt/small || say error "cannot mount stick SM"
fault_case too_large "$SM" - - - helper_on SM "$SM"
say fact too_large_mounted "$(grep -c ' /mnt/small ' /proc/mounts)"
fault_case fe_too_large "$SM" - - - front_end_on "$SM"
say fact fe_too_large_mounted "$(grep -c ' /mnt/small ' /proc/mounts)"
umount /mnt/small

# The image carries a partition table: after a verified write the kernel
# shows its partition. Then the same write asking for an eject, and the
# front end's, which asks by default: the sticks leave the disk list.
partition_shown() { # disk
  tries=0
  while [ ! -e "/sys/block/$1/${1}1" ]; do
    tries=$((tries + 1))
    [ $tries -gt 100 ] && { echo no; return; }
    sleep 0.05
  done
  echo yes
}
listed() { # serial
  if kelmar_vindle_helper --list-disks | grep -qF "\"serial\":\"$1\""; then echo yes; else echo no; fi
}
say reply partition "$(helper_on PT "$PT" 2>&1 | tail -n 1)"
say fact partition_shown "$(partition_shown "$PT")"
say reply eject "$(helper_on PT "$PT" ',"eject":true' 2>&1 | tail -n 1)"
say fact eject_listed "$(listed PT)"
say fact eject_block_left "$([ -e "/sys/block/$PT" ] && echo yes || echo no)"
status=0
front_end_on "$PT2" >/tmp/fe_eject.out 2>/tmp/fe_eject.err || status=$?
say fact fe_eject_status "$status"
say reply fe_eject_out "$(tail -n 1 /tmp/fe_eject.out)"
say fact fe_eject_listed "$(listed PT2)"
