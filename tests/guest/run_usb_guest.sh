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
  image_size=$((8 * mib + 1234)) # not a whole number of sectors
fi
image=$run/root/image.iso
head -c "$image_size" /dev/urandom >"$image"
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
add_stick() { # file serial [drive options]
  drives+=(-drive "if=none,id=$2,file=$run/$1,format=raw${3:-}" -device "usb-storage,bus=xhci.0,drive=$2,serial=$2")
}
# STICK_BYTES_PER_SECOND caps stick A's transfer rate, as a real stick's is.
add_stick stick-a.img STICK-A "${STICK_BYTES_PER_SECOND:+,throttling.bps-total=$STICK_BYTES_PER_SECOND}"
add_stick stick-b.img STICK-B
add_stick stick-c.img STICK-C
# Stick D is slow, so that a client's hang-up comes while its write goes on.
add_stick stick-d.img STICK-D ",throttling.bps-total=$((4 * mib))"
drives+=(-drive "if=none,id=virtio,file=$run/virtio.img,format=raw" -device virtio-blk-pci,drive=virtio)
console=$run/console.log
started=$SECONDS
boot "$accel" "$mode" 900 "$console" "${drives[@]}"
echo "guest ran for $((SECONDS - started)) s"
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
check "kelmar-vindle list --json lists sticks A to D as USB disks" test "$(fact fe_listed_usb)" = STICK-A,STICK-B,STICK-C,STICK-D,
check "kelmar-vindle list --json prints what kelmar_vindle_helper --list-disks does" test "$(fact fe_list_is_list_disks)" = yes
check "validate, sent each listed stick's identity, resolves to that record" test "$(fact fe_list_validated)" = 4/4
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

check "stick A holds the image at offset 0" cmp -s -n "$image_size" "$image" "$run/stick-a.img"
check "stick B is untouched" test "$(sha256sum <"$run/stick-b.img")" = "$untouched_b"
check "the virtio disk is untouched" test "$(sha256sum <"$run/virtio.img")" = "$untouched_virtio"

if ((failures > 0)); then
  echo "$failures check(s) failed; the guest said:" >&2
  cat "$run/lines" >&2
  exit 1
fi
