#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages. Packages
# already installed are skipped, so running it again costs nothing.
set -euo pipefail

packages=(
  cmake
  ninja-build
  g++
  clang
  libblocksruntime-dev
  nlohmann-json3-dev
  libcli11-dev
  libgtest-dev
  libssl-dev
  openssl
  # the benchmarks' peak memory
  time
  # setcap, for the test that a helper given file capabilities refuses to run
  libcap2-bin
  # the fuzz targets: libFuzzer with clang 16
  clang-16
  libclang-rt-16-dev
  # the macOS cross-build: ld64.lld, libc++ 16's headers, llvm-objdump
  lld-16
  libc++-16-dev
  libc++abi-16-dev
  llvm-16
  # the emulated machine of the USB guest test
  qemu-system-x86
  busybox-static
)

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
