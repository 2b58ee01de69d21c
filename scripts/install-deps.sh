#!/usr/bin/env bash
# Installs the Debian packages Quillon needs, and only those that are missing, so it is cheap
# to run again. Usage: install-deps.sh [build|test|dev]
#   build: compiler, CMake, Ninja, ccache, zlib            (to build quillon-cli)
#   test:  build + GoogleTest, xz-utils                     (to build and run the tests)
#   dev:   test + clang/libFuzzer, qemu-utils and the file-system tools that make fixtures,
#          hyperfine and sleuthkit for the benchmarks
set -euo pipefail
level=${1:-test}
packages=(g++ cmake ninja-build ccache zlib1g-dev pkg-config)
case "$level" in
  build) ;;
  test) packages+=(libgtest-dev xz-utils) ;;
  dev) packages+=(libgtest-dev xz-utils clang libclang-rt-14-dev qemu-utils fdisk gdisk
                  dosfstools mtools ntfs-3g exfatprogs e2fsprogs hyperfine python3 time
                  sleuthkit xorriso foremost testdisk) ;;
  *) echo "usage: $0 [build|test|dev]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
