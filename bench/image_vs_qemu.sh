#!/usr/bin/env bash
# Benchmark: `quillon-cli image` against `qemu-img convert -O raw` on the same sparse VMDK,
# dynamic VHD and dynamic VDI of a 1 GiB disk with data in about half of it, run side by side
# with hyperfine. Also prints each tool's peak memory for the 1 GiB disk and for a 4 GiB disk
# (same data pattern), to show that memory stays flat as the image grows.
# Usage: bench/image_vs_qemu.sh [path/to/quillon-cli]   (needs qemu-utils, hyperfine, time)
set -euo pipefail
cli=$(realpath "${1:-build/default/quillon-cli}")
work=${BENCH_DIR:-$(mktemp -d /var/tmp/quillon-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"

make_disk() { # name size-in-MiB: random data in every other 2 MiB
  truncate -s "$2M" "$1"
  for ((mib = 0; mib < $2; mib += 4)); do
    head -c 2M /dev/urandom | dd of="$1" bs=1M seek=$mib conv=notrunc status=none
  done
}

for size in 1024 4096; do
  make_disk "disk$size.raw" $size
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "disk$size.raw" "d$size.vmdk"
  qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on "disk$size.raw" "d$size.vhd"
  qemu-img convert -f raw -O vdi "disk$size.raw" "d$size.vdi"
done
rm -f disk4096.raw

mkdir -p out
for ext in vmdk vhd vdi; do
  echo "== 1 GiB $ext =="
  hyperfine --warmup 1 --runs 10 \
    --prepare "rm -rf out/* qemu.raw; sync" \
    -n "quillon-cli image" "$cli image d1024.$ext --out out" \
    -n "qemu-img convert" "qemu-img convert -O raw d1024.$ext qemu.raw"
  rm -rf out/* qemu.raw
  "$cli" image "d1024.$ext" --out out >/dev/null
  cmp "out/d1024.$ext.img" disk1024.raw && echo "quillon output equals the raw disk"
done

echo "== peak memory (max RSS, KiB) =="
for size in 1024 4096; do
  for ext in vmdk vhd vdi; do
    rm -rf out/* qemu.raw
    q=$( { /usr/bin/time -f %M "$cli" image "d$size.$ext" --out out >/dev/null; } 2>&1 | tail -1)
    r=$( { /usr/bin/time -f %M qemu-img convert -O raw "d$size.$ext" qemu.raw; } 2>&1 | tail -1)
    echo "$size MiB $ext: quillon-cli $q, qemu-img $r"
  done
done
