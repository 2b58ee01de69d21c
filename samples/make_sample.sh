#!/usr/bin/env bash
# Makes samples/sample.vmdk: a 64 MiB disk with an MBR holding an NTFS volume (16 MiB at
# sector 2048) and a FAT32 volume (40 MiB at sector 34816) with a few files, as a sparse VMDK.
# Needs: qemu-img (qemu-utils), sfdisk (fdisk), mkntfs (ntfs-3g), mkfs.fat (dosfstools),
# mcopy (mtools).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

truncate -s 64M disk.raw
sfdisk -q disk.raw <<'TABLE'
label: dos
start=2048, size=32768, type=7
start=34816, size=81920, type=c
TABLE

truncate -s 16M ntfs.img
mkntfs -F -Q -q -s 512 -p 2048 -H 255 -S 63 -L SAMPLE-NTFS ntfs.img >/dev/null 2>&1
dd if=ntfs.img of=disk.raw bs=512 seek=2048 conv=notrunc status=none

truncate -s 40M fat.img
mkfs.fat -F 32 -s 1 -n SAMPLE-FAT -i 51A3F00D fat.img >/dev/null
printf 'Quillon sample file.\n' >readme.txt
seq 1 2000 >numbers.txt
export MTOOLS_SKIP_CHECK=1
mmd -i fat.img ::/Docs
mcopy -i fat.img readme.txt ::/README.TXT
mcopy -i fat.img numbers.txt ::/Docs/numbers.txt
dd if=fat.img of=disk.raw bs=512 seek=34816 conv=notrunc status=none

qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse disk.raw "$here/sample.vmdk"
ls -l "$here/sample.vmdk"
