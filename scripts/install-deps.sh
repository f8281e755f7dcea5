#!/usr/bin/env bash
# Installs dependencies from Debian's packages. Packages already installed are
# skipped, so running it again costs nothing.
#
#   scripts/install-deps.sh             everything: for scripts/test.sh and for
#                                       the plain `cmake -S . -B build` idiom
#   scripts/install-deps.sh --run-only  only what building the helper and the
#                                       front end with the release preset, and
#                                       running them, needs (scripts/run-example.sh)
set -euo pipefail

# Building the helper and the front end (release preset: Ninja, clang for C,
# g++ for C++) and running them.
run_packages=(
  cmake
  ninja-build
  g++
  clang
  nlohmann-json3-dev
  libcli11-dev
  libssl-dev
  # the helper asks polkit over the system bus with sd-bus (--authorize polkit);
  # pkg-config finds libsystemd for CMake
  libsystemd-dev
  pkg-config
  # the front end downloads an image named by an http(s) URL with libcurl
  libcurl4-openssl-dev
  # the decoder of compressed images: xz, gzip, zstd, bzip2 and zip
  liblzma-dev
  zlib1g-dev
  libzstd-dev
  libbz2-dev
  libarchive-dev
)

# Everything else the tests, the benchmarks and the other presets use.
test_packages=(
  # the generator of `cmake -S . -B build` without presets: Unix Makefiles
  make
  # the XPC shim's tests: C with blocks
  libblocksruntime-dev
  libgtest-dev
  openssl
  # examples/progress_bar.py
  python3
  # the decoder's tests make their fixtures with the compressors themselves
  # (zip archives with python3's zipfile), as do the front end's download
  # tests (xz)
  xz-utils
  gzip
  zstd
  bzip2
  # the benchmarks' peak memory
  time
  # the compressed-image benchmark's peer tool (bmaptool copy)
  bmap-tools
  # setcap, for the test that a helper given file capabilities refuses to run
  libcap2-bin
  # the fuzz targets: libFuzzer with clang 16
  clang-16
  libclang-rt-16-dev
  # the macOS cross-build: ld64.lld, libc++ 16's headers, llvm-objdump; lld
  # also links the guest preset's static programs
  lld-16
  libc++-16-dev
  libc++abi-16-dev
  llvm-16
  # the emulated machine of the USB guest test
  qemu-system-x86
  busybox-static
  # the polkit service test: a private system bus, polkitd on it, and the
  # socket unit's per-connection start (systemd-socket-activate); systemd
  # also gives the units' test systemd-analyze
  dbus-daemon
  polkitd
  systemd
  # the systemd unit folder (systemd.pc) and `systemd-analyze verify` and
  # `security` for the units' test (pkg-config is in the run list)
  # the mount-namespace test formats a loop device with ext2
  e2fsprogs
  # the Debian package: debhelper's dh with its cmake build system,
  # dpkg-buildpackage, fakeroot, and lintian to check the result
  debhelper
  dpkg-dev
  fakeroot
  lintian
  # the fresh Debian 12 root the package is installed into
  debootstrap
)

packages=("${run_packages[@]}")
case ${1-} in
  "") packages+=("${test_packages[@]}") ;;
  --run-only) ;;
  *)
    echo "usage: $0 [--run-only]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
