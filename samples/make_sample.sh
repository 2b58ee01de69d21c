#!/usr/bin/env bash
# Makes samples/sample.vmdk: a 64 MiB disk with an MBR holding an NTFS volume (16 MiB at
# sector 2048) and a FAT32 volume (40 MiB at sector 34816) with a few files, as a sparse VMDK.
# The NTFS volume is filled through an ntfs-3g mount: a few files in folders, a compressed file
# and a file deleted at the end, so that `ls` shows it as deleted and `save` still recovers it.
# Needs: qemu-img (qemu-utils), sfdisk (fdisk), mkntfs and ntfs-3g (ntfs-3g) with FUSE,
# mkfs.fat (dosfstools), mcopy (mtools), python3.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
mnt="$work/mnt"
mkdir "$mnt"
cleanup() {
  if mountpoint -q "$mnt"; then
    fusermount -u "$mnt" 2>/dev/null || umount "$mnt"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

truncate -s 64M disk.raw
sfdisk -q disk.raw <<'TABLE'
label: dos
start=2048, size=32768, type=7
start=34816, size=81920, type=c
TABLE

truncate -s 16M ntfs.img
mkntfs -F -Q -q -s 512 -p 2048 -H 255 -S 63 -L SAMPLE-NTFS ntfs.img >/dev/null 2>&1
ntfs-3g ntfs.img "$mnt"
python3 - "$mnt" <<'PY'
import os, sys
os.chdir(sys.argv[1])
def write(path, data, mtime):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))
write("README.txt", b"Quillon sample NTFS volume.\n", 1600000000)
write("Docs/report.txt", b"Quarterly report\n" + b"figures " * 800 + b"\n", 1600100000)
write("Docs/Letters/letter.txt", b"Dear reader,\nthis file sits two folders deep.\n",
      1600200000)
os.makedirs("Packed")
os.setxattr("Packed", "system.ntfs_attrib_be", (0x800).to_bytes(4, "big"))
write("Packed/numbers.txt", "".join("%d\n" % i for i in range(1, 20001)).encode(), 1600300000)
write("Docs/deleted.txt", b"This file was deleted; its record and data are still there.\n" * 40,
      1600400000)
os.remove("Docs/deleted.txt")
PY
sync
fusermount -u "$mnt" 2>/dev/null || umount "$mnt"
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
