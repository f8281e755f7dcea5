#!/usr/bin/env bash
# Boots a small emulated x86 machine (Debian's kernel, busybox, the static
# helper and front end) with four emulated USB sticks and a virtio disk backed
# by files here, and runs the helper for real inside it.
#   run_usb_guest.sh test  HELPER RAW_WRITE_TOOL WORK_DIR FRONTEND
#       the helper's job and its refusals, then the front end's list, write,
#       interrupt and refusals; checks the replies and, afterwards, the
#       backing files: exit status 0 when everything held
#   run_usb_guest.sh bench HELPER RAW_WRITE_TOOL WORK_DIR
#       copy and read-back rates of the helper against dd with direct I/O
#       (BENCH_IMAGE_MIB sets the image size, STICK_BYTES_PER_SECOND caps the
#       stick's rate)
# Needs qemu-system-x86, busybox-static and apt access to Debian's kernel
# package. KVM is used only where a probe machine really starts with it.
set -euo pipefail
mode=$1
helper=$2
raw_write=$3
work=$4
frontend=${5:-}
[[ $mode != test || -n $frontend ]] || { echo "test needs the front end (FRONTEND)" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)

kernel=$("$here/prepare_kernel.sh" "$work/kernel")
run=$work/$mode
rm -rf "$run"
mkdir -p "$run/root/bin" "$run/root/dev" "$run/root/proc" "$run/root/sys"

mib=1048576
if [[ $mode == bench ]]; then
  image_size=$((${BENCH_IMAGE_MIB:-96} * mib))
  export STICK_MIB=$((image_size / mib + 32))
else
  image_size=$((3 * mib + 17)) # not a whole number of sectors
fi
image=$run/root/image.iso
head -c "$image_size" /dev/urandom >"$image"
if [[ $mode == test ]]; then
  # A partition table (MBR) with one Linux partition from 1 MiB to 2 MiB, so
  # that the guest can show the kernel reading the written table.
  printf '\x00\x00\x00\x00\x83\x00\x00\x00\x00\x08\x00\x00\x00\x08\x00\x00' | dd of="$image" bs=1 seek=446 conv=notrunc status=none
  head -c 48 /dev/zero | dd of="$image" bs=1 seek=462 conv=notrunc status=none
  printf '\x55\xaa' | dd of="$image" bs=1 seek=510 conv=notrunc status=none
fi
image_sha256=$(sha256sum "$image" | cut -d' ' -f1)
wrong_sha256=$(echo "not the image" | sha256sum | cut -d' ' -f1)
printf 'IMAGE_SHA256=%s\nIMAGE_SIZE=%s\nWRONG_SHA256=%s\n' "$image_sha256" "$image_size" "$wrong_sha256" >"$run/root/job.env"

# Backing files with recognisable contents, so that any stray write shows.
fill() { yes "$2" | head -c $(($3 * mib)) >"$run/$1" || true; }
fill stick-a.img STICK-A "${STICK_MIB:-64}"
fill stick-b.img STICK-B 64
fill stick-c.img STICK-C 32 # room for the root file system the guest makes on it
fill stick-d.img STICK-D 16
fill virtio.img VIRTIO 32
if [[ $mode == test ]]; then
  for stick in PW1 PW2 PV1 PV2 EW ER RO PT PT2; do fill "fault-$stick.img" "$stick" 8; done
  fill fault-SM.img SM 2 # smaller than the image
  untouched_ro=$(sha256sum <"$run/fault-RO.img")
  # blkdebug's rules: every write, or every read, that covers the sector at
  # 2 MiB fails with EIO (the image ends at 3 MiB).
  printf '[inject-error]\nevent = "write_aio"\niotype = "write"\nerrno = "5"\nsector = "4096"\n' >"$run/write-error.conf"
  printf '[inject-error]\nevent = "read_aio"\niotype = "read"\nerrno = "5"\nsector = "4096"\n' >"$run/read-error.conf"
fi
untouched_b=$(sha256sum <"$run/stick-b.img")
untouched_virtio=$(sha256sum <"$run/virtio.img")

cp "$(command -v busybox)" "$helper" "$raw_write" ${frontend:+"$frontend"} "$run/root/bin/"
cp "$here/guest_init.sh" "$run/root/init"
chmod +x "$run/root/init"
cp -r "$kernel/modules" "$run/root/modules"
mv "$run/root/modules/lib" "$run/root/lib"
(cd "$run/root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$run/initrd.gz"

boot() { # accelerator kv_mode timeout console-file [qemu options...]
  local accel=$1 kv_mode=$2 limit=$3 console=$4
  shift 4
  local cpu=()
  [[ $accel == kvm ]] && cpu=(-cpu host)
  timeout "$limit" qemu-system-x86_64 -accel "$accel" "${cpu[@]}" -m 1024 -smp 2 -nographic -no-reboot -nic none \
    -kernel "$kernel/vmlinuz" -initrd "$run/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 kv_mode=$kv_mode" "$@" </dev/null >"$console" 2>&1 || true
}

accel=tcg
if [[ -r /dev/kvm && -w /dev/kvm ]] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
  boot kvm probe 30 "$run/probe.log"
  grep -q '^KV done' "$run/probe.log" && accel=kvm
fi
echo "guest: $accel, kernel $(basename "$kernel")"

drives=(-device qemu-xhci,id=xhci)
add_stick() { # file serial [drive options] [controller]
  drives+=(-drive "if=none,id=$2,file=$run/$1,format=raw${3:-}"
    -device "usb-storage,bus=${4:-xhci}.0,drive=$2,serial=$2,id=stick-$2")
}
# STICK_BYTES_PER_SECOND caps stick A's transfer rate, as a real stick's is.
add_stick stick-a.img STICK-A "${STICK_BYTES_PER_SECOND:+,throttling.bps-total=$STICK_BYTES_PER_SECOND}"
add_stick stick-b.img STICK-B
add_stick stick-c.img STICK-C
# Stick D is slow, so that a client's hang-up comes while its write goes on.
add_stick stick-d.img STICK-D ",throttling.bps-total=$mib"
drives+=(-drive "if=none,id=virtio,file=$run/virtio.img,format=raw" -device virtio-blk-pci,drive=virtio)
if [[ $mode == test ]]; then
  # The fault sticks, on a second controller with room for them. The pulled
  # ones are slow in the phase their pull aims at (12 s for the image), so
  # that the pull lands inside it however slowly the guest runs; the pull
  # ends the phase, so the slowness costs nothing.
  drives+=(-device qemu-xhci,id=faults,p2=15,p3=1)
  for stick in PW1 PW2; do add_stick "fault-$stick.img" "$stick" ",throttling.bps-write=$((mib / 4))" faults; done
  for stick in PV1 PV2; do add_stick "fault-$stick.img" "$stick" ",throttling.bps-read=$((mib / 4))" faults; done
  drives+=(-drive "if=none,id=EW,file=blkdebug:$run/write-error.conf:$run/fault-EW.img,format=raw"
    -device "usb-storage,bus=faults.0,drive=EW,serial=EW,id=stick-EW")
  drives+=(-drive "if=none,id=ER,file=blkdebug:$run/read-error.conf:$run/fault-ER.img,format=raw"
    -device "usb-storage,bus=faults.0,drive=ER,serial=ER,id=stick-ER")
  add_stick fault-RO.img RO ",readonly=on" faults
  for stick in SM PT PT2; do add_stick "fault-$stick.img" "$stick" "" faults; done
  # The monitor, through a pair of FIFOs: "KV pull SERIAL" on the guest's
  # console removes that stick from its controller, as a hand pulls it.
  rm -f "$run/monitor.in" "$run/monitor.out"
  mkfifo "$run/monitor.in" "$run/monitor.out"
  drives+=(-chardev "pipe,id=monitor,path=$run/monitor" -mon chardev=monitor,mode=readline)
fi
console=$run/console.log
: >"$console"
puller=
if [[ $mode == test ]]; then
  (
    tail -n +1 -F "$console" 2>/dev/null | while IFS= read -r line; do
      line=${line%$'\r'}
      if [[ $line == "KV pull "* ]]; then
        echo "device_del stick-${line#KV pull }" >"$run/monitor.in"
        echo "pulled ${line#KV pull } at $SECONDS s" >>"$run/pulls.log"
      fi
    done
  ) &
  puller=$!
  cat "$run/monitor.out" >"$run/monitor.log" 2>/dev/null &
  monitor_reader=$!
fi
started=$SECONDS
boot "$accel" "$mode" 900 "$console" "${drives[@]}"
echo "guest ran for $((SECONDS - started)) s"
if [[ -n $puller ]]; then
  pkill -P "$puller" 2>/dev/null || true
  kill "$puller" "$monitor_reader" 2>/dev/null || true
fi
tr -d '\r' <"$console" | grep '^KV ' >"$run/lines" || true

if ! grep -q '^KV done' "$run/lines" || grep -q '^KV error' "$run/lines"; then
  echo "the guest did not finish its run; its console:" >&2
  cat "$console" >&2
  exit 1
fi

if [[ $mode == bench ]]; then
  # dd's lines carry seconds; the tool prints "check C copy W verify V total T"
  # in milliseconds.
  cap=uncapped
  [[ -n ${STICK_BYTES_PER_SECOND:-} ]] && cap="capped at $((STICK_BYTES_PER_SECOND / mib)) MiB/s"
  median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  dd_write=$(awk '$3 == "dd_write" { print $4 }' "$run/lines" | median)
  dd_read=$(awk '$3 == "dd_read" { print $4 }' "$run/lines" | median)
  copy=$(awk '$3 == "helper" { print $7 / 1000 }' "$run/lines" | median)
  verify=$(awk '$3 == "helper" { print $9 / 1000 }' "$run/lines" | median)
  peak=$(awk '$3 == "helper_peak_kib" { print $4 }' "$run/lines" | sort -g | tail -n 1)
  awk -v size="$image_size" -v dw="$dd_write" -v dr="$dd_read" -v c="$copy" -v v="$verify" -v accel="$accel" -v peak="$peak" \
    -v cap="$cap" 'BEGIN {
    mb = size / 1048576
    printf "guest (%s), %d MiB image, stick %s, medians of 3\n", accel, mb, cap
    printf "  write:     helper %.1f MiB/s, dd oflag=direct %.1f MiB/s, ratio %.2f\n", mb / c, mb / dw, dw / c
    printf "  read-back: helper %.1f MiB/s, dd iflag=direct %.1f MiB/s, ratio %.2f\n", mb / v, mb / dr, dr / v
    printf "  helper peak resident memory %d KiB\n", peak
  }'
  exit 0
fi

failures=0
check() { # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what" >&2
    failures=$((failures + 1))
  fi
}
reply() { awk -v name="$1" '$2 == "reply" && $3 == name { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }' "$run/lines"; }
replied() { reply "$1" | grep -qF -- "$2"; }
fact() { awk -v name="$1" '$2 == "fact" && $3 == name { print $4 }' "$run/lines"; }
events() { awk '$2 == "event" && $3 == "progress" { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }' "$run/lines"; }
partly_written() {
  local written
  written=$(fact hang_up_written_bytes)
  [[ -n $written ]] && ((written > 0 && written < image_size))
}
verified_all() { events | grep -qF "\"phase\":\"verifying\",\"bytes_done\":$image_size,\"total\":$image_size}"; }
ends_ok() { events | tail -n 1 | grep -F '"evt":"result","ok":true' | grep -qF "\"usb_sha256\":\"$image_sha256\""; }
# accepted; then checking_image, writing and verifying in that order, each
# from 0 up to the image size and never back; then an ok result.
progress_in_order() {
  events | awk -v total="$image_size" '
    NR == 1 { ok = $0 == "{\"evt\":\"accepted\"}"; order = "checking_image writing verifying"; next }
    /"evt":"progress"/ {
      match($0, /"phase":"[a-z_]*"/); phase = substr($0, RSTART + 9, RLENGTH - 10)
      match($0, /"bytes_done":[0-9]*/); done = substr($0, RSTART + 13, RLENGTH - 13) + 0
      if (index($0, "\"total\":" total "}") == 0) ok = 0
      if (phase != current) {
        if (current != "" && last != total) ok = 0
        if (index(order, phase) != 1 || done != 0) ok = 0
        order = substr(order, length(phase) + 2); current = phase
      } else if (done < last) ok = 0
      last = done; next
    }
    { result = $0; results++ }
    END { exit !(ok && current == "verifying" && last == total && results == 1 && result ~ /"evt":"result","ok":true/) }'
}

check "validate re-identifies stick A" replied validate '"ok":true'
check "an active swap area stops the write" replied swap 'it is an active swap area'
check "a busy mount stops the write" replied busy 'Device or resource busy (os error 16)'
check "a client that may not read the image is refused" replied other_user 'Permission denied (os error 13)'
check "the write succeeds with the image's digest" replied write '"ok":true'
check "the reply carries usb_sha256 of the image" replied write "\"usb_sha256\":\"$image_sha256\""
check "the read-back read at least the image from the stick" test "$(fact read_back_bytes)" -ge "$image_size"
check "the helper unmounted the stick's file system" test "$(fact still_mounted)" = 0
check "a write asking for progress reports its phases in order, each from 0 to the image size" progress_in_order
check "its read-back (verifying) reaches the image size" verified_all
check "its events end with an ok result carrying the image's digest" ends_ok
check "the client that hung up saw a writing event" test -n "$(fact hang_up_seen)"
check "the helper exited after the hang-up (status $(fact hang_up_status))" test -n "$(fact hang_up_status)"
check "the hang-up left stick D with part of the image written, not all" partly_written
check "another stick is refused" replied other_stick '"error":"device_identity_mismatch"'
check "stick A with another size is refused" replied other_size '"error":"device_identity_mismatch"'
check "the virtio disk is refused" replied virtio '"ok":false'
check "a USB stick holding the root file system is refused" replied root_stick '"error":"rejected_system"'

# The front end.
stick_b=$(fact stick_b)
stick_c=$(fact stick_c)
stick_d=$(fact stick_d)
virtio_refusal=$(reply fe_virtio)
refused_by_name() { [[ $(reply "$1") == "kelmar-vindle: refusing to write $2: "* ]]; }
left_part_written() {
  local written
  written=$(fact fe_stop_written_bytes)
  [[ -n $written ]] && ((written < image_size))
}
check "kelmar-vindle list --json lists sticks A to D and the fault sticks as USB disks" \
  test "$(fact fe_listed_usb)" = ER,EW,PT,PT2,PV1,PV2,PW1,PW2,RO,SM,STICK-A,STICK-B,STICK-C,STICK-D,
check "kelmar-vindle list --json prints what kelmar_vindle_helper --list-disks does" test "$(fact fe_list_is_list_disks)" = yes
check "validate, sent each listed stick's identity, resolves to that record" test "$(fact fe_list_validated)" = 14/14
check "kelmar-vindle write exits 0 (status $(fact fe_write_status))" test "$(fact fe_write_status)" = 0
check "kelmar-vindle write ends with the verified digest" \
  test "$(reply fe_write_out)" = "$stick_c written and verified, sha256 $image_sha256"
check "and the time it took" test "$(fact fe_write_out_lines)" = 2
check "stick C holds the image after kelmar-vindle write" test "$(fact fe_write_holds_image)" = yes
check "a wrong --sha256 makes kelmar-vindle exit 1" test "$(fact fe_wrong_status)" = 1
check "with the helper's image_hash_mismatch message" \
  test "$(reply fe_wrong)" = "kelmar-vindle: the write of /image.iso onto $stick_b failed: image hash mismatch: expected $wrong_sha256, actual $image_sha256"
check "and nothing written on the stick" test "$(fact fe_wrong_written_bytes)" = 0
check "the interrupted kelmar-vindle showed the writing phase" test "$(fact fe_stop_seen)" = yes
check "the interrupt left stick D with less than the image written ($(fact fe_stop_written_bytes) bytes)" left_part_written
check "the interrupted kelmar-vindle says the stick is partly written" \
  test "$(reply fe_stop)" = "kelmar-vindle: the write was stopped while writing; $stick_d is partly written and holds no usable image"
check "and exits non-zero (status $(fact fe_stop_status))" test "$(fact fe_stop_status)" -ne 0
check "no helper is left after the interrupt" test "$(fact fe_stop_helpers_left)" = 0
check "kelmar-vindle refuses the virtio disk by name (${virtio_refusal#*vda: })" refused_by_name fe_virtio vda
check "and exits 1" test "$(fact fe_virtio_status)" = 1
check "and writes nothing on it" test "$(fact fe_virtio_written_bytes)" = 0
check "kelmar-vindle refuses the stick holding the root file system by name" \
  test "$(reply fe_root_stick)" = "kelmar-vindle: refusing to write $stick_c: system or internal disk"
check "and exits 1" test "$(fact fe_root_stick_status)" = 1
check "and writes nothing on it" test "$(fact fe_root_stick_written_bytes)" = 0

# The faults. A pulled stick's outstanding commands fail as soon as the
# controller reports it gone, so the helper answers well within
# $pull_bound_s s of the stick's removal (an emulated machine on a loaded host
# included), far below the 30 s after which the kernel gives up on a command
# a device never answers: an answer that took that long would be a helper
# waiting on a dead disk. A failing sector or a refusal is answered within
# $fault_bound_s s of the start (the kernel's own retries of the failed
# command and the helper's second for a failing disk to go away included).
pull_bound_s=10
fault_bound_s=20
answered_within() { # name seconds
  local hundredths
  hundredths=$(fact "${1}_hundredths")
  [[ -n $hundredths ]] && ((hundredths <= $2 * 100))
}
nothing_left() { test "$(fact "${1}_left")" = "mounts=0,descriptors=0,exclusive=no" -a "$(fact "${1}_helpers_left")" = 0; }
fault() { # name disk text bound: the helper's answer
  local name=$1 text=$3 bound=$4
  check "$name: the helper exits after its answer (status $(fact "${name}_status"))" test -n "$(fact "${name}_status")"
  check "$name: answered not ok with \"$text\"" \
    bash -c '[[ $1 == *"\"evt\":\"result\",\"ok\":false"* && $1 == *"$2"* ]]' _ "$(reply "$name")" "$text"
  check "$name: within $bound s ($(fact "${name}_hundredths")/100 s)" answered_within "$name" "$bound"
  check "$name: no helper, mount, descriptor or exclusive open of the stick is left ($(fact "${name}_left"))" nothing_left "$name"
}
fe_fault() { # name text bound: the front end's last words
  local name=$1 text=$2 bound=$3
  check "$name: kelmar-vindle exits 1 (status $(fact "${name}_status"))" test "$(fact "${name}_status")" = 1
  check "$name: it says \"$text\"" bash -c '[[ $1 == "kelmar-vindle: "*"$2"* ]]' _ "$(reply "$name")" "$text"
  check "$name: within $bound s ($(fact "${name}_hundredths")/100 s)" answered_within "$name" "$bound"
  check "$name: no helper, mount, descriptor or exclusive open of the stick is left ($(fact "${name}_left"))" nothing_left "$name"
}
went_away="the disk went away while writing; the stick was pulled or lost its connection"
check "pull_write: the stick was pulled during the write" test "$(fact pull_write_pulled)" = yes
fault pull_write - "the disk went away while writing" "$pull_bound_s"
check "fe_pull_write: the stick was pulled during the write" test "$(fact fe_pull_write_pulled)" = yes
fe_fault fe_pull_write "$went_away" "$pull_bound_s"
check "pull_verify: the stick was pulled during the read-back" test "$(fact pull_verify_pulled)" = yes
fault pull_verify - "the disk went away while verifying" "$pull_bound_s"
check "fe_pull_verify: the stick was pulled during the read-back" test "$(fact fe_pull_verify_pulled)" = yes
fe_fault fe_pull_verify "the disk went away while verifying; the stick was pulled" "$pull_bound_s"
fault write_error - "I/O error: write /dev/$(fact stick_ew) at 2.0 MB: Input/output error (os error 5)" "$fault_bound_s"
fe_fault fe_write_error "Input/output error (os error 5); the stick failed to store or return the image" "$fault_bound_s"
fault read_error - "I/O error: read /dev/$(fact stick_er) at 2.0 MB: Input/output error (os error 5)" "$fault_bound_s"
fe_fault fe_read_error "Input/output error (os error 5); the stick failed to store or return the image" "$fault_bound_s"
fault read_only - "I/O error: the disk is write-protected" "$fault_bound_s"
fe_fault fe_read_only "the disk is write-protected; nothing was written: slide the stick's lock switch" "$fault_bound_s"
check "read_only: nothing was written on the locked stick" test "$(sha256sum <"$run/fault-RO.img")" = "$untouched_ro"
check "too_large: the helper refuses an image larger than the stick" \
  bash -c '[[ $1 == *"\"ok\":false"*"does not fit on "* ]]' _ "$(reply too_large)"
check "too_large: and its file system stays mounted" test "$(fact too_large_mounted)" = 1
check "fe_too_large: kelmar-vindle refuses it before asking" \
  bash -c '[[ $1 == "kelmar-vindle: /image.iso ("*") does not fit on "*"; nothing was written: use a larger stick" ]]' _ "$(reply fe_too_large)"
check "fe_too_large: and the file system stays mounted" test "$(fact fe_too_large_mounted)" = 1
check "too_large: nothing was written on the small stick" test "$(fact too_large_written_bytes)" = 0
check "fe_too_large: nothing was written on the small stick" test "$(fact fe_too_large_written_bytes)" = 0

check "after a verified write the kernel shows the image's partition" test "$(fact partition_shown)" = yes
check "that write succeeded" replied partition '"ok":true'
check "a write with \"eject\": true answers \"ejected\": true" replied eject '"ejected":true'
check "and the stick is gone from --list-disks" test "$(fact eject_listed)" = no
check "and from the system" test "$(fact eject_block_left)" = no
check "kelmar-vindle ejects by default (status $(fact fe_eject_status))" test "$(fact fe_eject_status)" = 0
check "and says the stick may be pulled" \
  bash -c '[[ $1 == *" was ejected; it may be pulled out now" ]]' _ "$(reply fe_eject_out)"
check "and the stick is gone from --list-disks" test "$(fact fe_eject_listed)" = no
check "the ejected stick holds the image" cmp -s -n "$image_size" "$image" "$run/fault-PT2.img"

check "stick A holds the image at offset 0" cmp -s -n "$image_size" "$image" "$run/stick-a.img"
check "stick B is untouched" test "$(sha256sum <"$run/stick-b.img")" = "$untouched_b"
check "the virtio disk is untouched" test "$(sha256sum <"$run/virtio.img")" = "$untouched_virtio"

if ((failures > 0)); then
  echo "$failures check(s) failed; the guest said:" >&2
  cat "$run/lines" >&2
  exit 1
fi
