#!/usr/bin/env bash
# Decode-and-write of compressed images through the file sink on tmpfs,
# against the shell pipelines and `bmaptool copy` on the same files in the
# same run (best of three each), with the helper's peak resident memory
# (the decoder's included: GNU time reports the largest of the process and
# its reaped children); then a streamed write from a pipe fed at a limited
# rate against the same feeding alone.
#
# The image is half random and half zero MiB blocks, so that each codec has
# work to do. xz is multi-block (16 MiB blocks, for the multithreaded decoder).
#
#   bench/decode_write.sh [size in MiB, default 1024] [stream rate in MiB/s, default 64]
set -euo pipefail
cd "$(dirname "$0")/.."

mib=${1:-1024}
rate=${2:-64}
source bench/common.sh 0
# BENCH_HELPER names another build's helper (its decoder beside it).
helper=${BENCH_HELPER:-$PWD/build/release/helper/kelmar_vindle_helper}
for tool in xz gzip zstd bmaptool python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done
out=$(mktemp -d /dev/shm/kelmar_vindle_decode.XXXXXX)
trap 'rm -rf "$work" "$out"' EXIT

for ((i = 0; i < mib; i++)); do
  if ((i % 2)); then head -c 1048576 /dev/zero; else head -c 1048576 /dev/urandom; fi
done >"$image"
xz -c -T0 --block-size=16MiB -3 "$image" >"$work/image.img.xz"
gzip -c -6 "$image" >"$work/image.img.gz"
zstd -q -c -T0 -3 "$image" >"$work/image.img.zst"

target='{"scheme":"vindle-1","serial":"AC0E5717C4A91B02","vendor":"Acme","product":"Stick 32","vendor_id":4660,'
target+='"product_id":22136,"size":31004295168,"bus":"usb","is_system":false,"mac_bsd_name":"disk4"}'
request_for() { # file
  local sha bytes
  sha=$(openssl dgst -sha256 -r "$1" | cut -d' ' -f1)
  bytes=$(stat -c %s "$1")
  printf '{"v":1,"cmd":"write","job":{"job_id":"bench","image_path":"%s","expected_sha256":"%s","expected_size":%s,"write_mode":"raw-dd-hybrid","target":%s,"confirmed_label":"bench","dry_run":false}}\n' \
    "$1" "$sha" "$bytes" "$target"
}
best_of_three() { # command...: the best wall time in ns
  local best=0 t0 t1
  for _ in 1 2 3; do
    rm -f "$out/sink.img"
    t0=$(now); "$@"; t1=$(now)
    ((best == 0 || t1 - t0 < best)) && best=$((t1 - t0))
  done
  echo "$best"
}
run_helper() { # request file
  /usr/bin/time -f '%M' -o "$work/peak" "$helper" --fixture examples/devices.json --sink "$out/sink.img" \
    <"$1" >"$work/reply"
  grep -q '"ok":true' "$work/reply" || { cat "$work/reply" >&2; exit 1; }
}
pipeline() { # decompressor...
  "$@" <"$file" | dd of="$out/sink.img" bs=1M status=none
}

for format in xz gz zst; do
  file=$work/image.img.$format
  request_for "$file" >"$work/request"
  case $format in
    xz) decompress=(xz -dc -T0) ;;
    gz) decompress=(gzip -dc) ;;
    zst) decompress=(zstd -dc -q) ;;
  esac
  helper_ns=$(best_of_three run_helper "$work/request")
  peak=$(cat "$work/peak")
  pipeline_ns=$(best_of_three pipeline "${decompress[@]}")
  bmap_ns=$(best_of_three bmaptool -q copy --nobmap "$file" "$out/sink.img")
  awk -v f="$format" -v h="$helper_ns" -v p="$pipeline_ns" -v b="$bmap_ns" -v mib="$mib" -v peak="$peak" 'BEGIN {
    printf "%s, %d MiB decoded: helper %.0f ms (check, decode, write, read-back), %s -dc | dd %.0f ms (ratio %.2f), bmaptool copy %.0f ms (ratio %.2f); peak RSS %d KiB\n",
           f, mib, h / 1e6, f, p / 1e6, p / h, b / 1e6, b / h, peak }'
done

# A stream handed over as a pipe, fed at `rate` MiB/s, against the feeding alone.
python3 - "$helper" "$work/image.img.xz" "$rate" "$out" "$target" <<'PY'
import array, hashlib, json, os, socket, subprocess, sys, time
helper, path, rate, out, target = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4], sys.argv[5]
data = open(path, "rb").read()
def feed(fd):
    start, step = time.monotonic(), 1 << 20
    for offset in range(0, len(data), step):
        due = start + (offset + step) / (rate * 1048576)
        os.write(fd, data[offset:offset + step]) if fd >= 0 else None
        time.sleep(max(0.0, due - time.monotonic()))
t0 = time.monotonic(); feed(-1); alone = time.monotonic() - t0
sock_path = os.path.join(out, "helper.sock")
served = subprocess.Popen([helper, "--listen-unix", sock_path, "--fixture", "examples/devices.json",
                           "--sink", os.path.join(out, "sink.img")], stdout=subprocess.DEVNULL)
while not os.path.exists(sock_path):
    time.sleep(0.01)
job = {"job_id": "stream", "image_path": "/streamed.img.xz", "expected_sha256": hashlib.sha256(data).hexdigest(),
       "expected_size": len(data), "write_mode": "raw-dd-hybrid", "target": json.loads(target),
       "confirmed_label": "bench", "dry_run": False}
read_end, write_end = os.pipe()
s = socket.socket(socket.AF_UNIX)
s.connect(sock_path)
t0 = time.monotonic()
s.sendmsg([(json.dumps({"v": 1, "cmd": "write", "job": job}) + "\n").encode()],
          [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [read_end]))])
os.close(read_end)
feed(write_end)
os.close(write_end)
reply = s.makefile().readline()
streamed = time.monotonic() - t0
served.terminate(); served.wait()
assert '"ok":true' in reply, reply
print("stream of %.0f MiB xz at %g MiB/s: helper %.2f s, the feeding alone %.2f s, ratio %.3f"
      % (len(data) / 1048576, rate, streamed, alone, streamed / alone))
PY
