#!/usr/bin/env bash
# Benchmark: listing and saving a FAT32 volume of 20,000 files, side by side with The Sleuth
# Kit on the same raw image:
#   quillon-cli ls --recursive --json   against   fls -r
#   quillon-cli save --path /           against   tsk_recover -a
# The volume is made with mkfs.fat and filled with mtools. Usage:
#   bench/fat_vs_tsk.sh [path/to/quillon-cli] [file count]
# Needs: dosfstools, mtools, sleuthkit, hyperfine, python3 (scripts/install-deps.sh dev).
set -euo pipefail
cli=$(realpath "${1:-build/default/quillon-cli}")
count=${2:-20000}
work=${BENCH_DIR:-$(mktemp -d /var/tmp/quillon-fat-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"
export MTOOLS_SKIP_CHECK=1

# 50 folders of count/50 files each, sizes from a few bytes to 16 KiB, with long names.
python3 - "$count" <<'PY'
import os, random, sys
count = int(sys.argv[1])
random.seed(7)
per = max(1, count // 50)
for d in range(50):
    folder = os.path.join("src", "Folder number %02d" % d)
    os.makedirs(folder, exist_ok=True)
    for f in range(per):
        size = random.choice([12, 300, 900, 3000, 9000, 16000])
        with open(os.path.join(folder, "a long file name %05d.txt" % f), "wb") as out:
            out.write(os.urandom(size))
PY
truncate -s 1G fat.raw
mkfs.fat -F 32 -s 8 fat.raw >/dev/null
mcopy -i fat.raw -s src/* ::/
sectors=$(( $(stat -c %s fat.raw) / 512 ))
volume=(--start 0 --end "$((sectors - 1))" --fs FAT32)

echo "== list the whole tree =="
hyperfine --warmup 1 --runs 5 \
  -n "quillon-cli ls --recursive --json" "$cli ls fat.raw ${volume[*]} --recursive --json >/dev/null" \
  -n "fls -r" "fls -r fat.raw >/dev/null"
echo "quillon entries: $("$cli" ls fat.raw "${volume[@]}" --recursive --json | wc -l), fls lines: $(fls -r fat.raw | wc -l)"

echo "== save everything =="
hyperfine --warmup 1 --runs 3 \
  --prepare "rm -rf out-q out-t; sync" \
  -n "quillon-cli save --path /" "$cli save fat.raw ${volume[*]} --path / --out out-q >/dev/null" \
  -n "tsk_recover -a" "tsk_recover -a fat.raw out-t >/dev/null"
rm -rf out-q out-t
"$cli" save fat.raw "${volume[@]}" --path / --out out-q >/dev/null
tsk_recover -a fat.raw out-t >/dev/null
echo "files saved: quillon $(find out-q -type f | wc -l), tsk_recover $(find out-t -type f | wc -l)"
# Every file tsk_recover wrote must be byte-identical in quillon's copy.
(cd out-t && find . -type f -print0) | while IFS= read -r -d '' f; do
  cmp -s "out-t/$f" "out-q/$f" || echo "differs: $f"
done | head -5
