#!/usr/bin/env bash
# Benchmark: listing and saving an ext4 volume of 100,000 files, side by side with The Sleuth
# Kit on the same raw image:
#   quillon-cli ls --recursive --json   against   fls -r
#   quillon-cli save --path /           against   tsk_recover -a
# The volume is made by mke2fs -d from a tree of 100 folders (no mount needed). Usage:
#   bench/ext_vs_tsk.sh [path/to/quillon-cli] [file count]
# Needs: e2fsprogs, sleuthkit, hyperfine, python3 (scripts/install-deps.sh dev).
set -euo pipefail
cli=$(realpath "${1:-build/default/quillon-cli}")
count=${2:-100000}
work=${BENCH_DIR:-$(mktemp -d /var/tmp/quillon-ext-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"

# 100 folders of count/100 files each, sizes from a few bytes to 16 KiB.
python3 - "$count" <<'PY'
import os, random, sys
count = int(sys.argv[1])
random.seed(7)
per = max(1, count // 100)
for d in range(100):
    folder = os.path.join("tree", "dir%03d" % d)
    os.makedirs(folder, exist_ok=True)
    for f in range(per):
        size = random.choice([12, 300, 900, 3000, 9000, 16000])
        with open(os.path.join(folder, "file%05d.txt" % f), "wb") as out:
            out.write(os.urandom(size))
PY
truncate -s 2G ext4.raw
mke2fs -q -F -t ext4 -N $((count + count / 5 + 1024)) -d tree ext4.raw
rm -rf tree
sectors=$(( $(stat -c %s ext4.raw) / 512 ))
volume=(--start 0 --end "$((sectors - 1))" --fs EXTX)

echo "== list the whole tree =="
hyperfine --warmup 1 --runs 5 \
  -n "quillon-cli ls --recursive --json" "$cli ls ext4.raw ${volume[*]} --recursive --json >/dev/null" \
  -n "fls -r" "fls -r ext4.raw >/dev/null"
echo "quillon entries: $("$cli" ls ext4.raw "${volume[@]}" --recursive --json | wc -l), fls lines: $(fls -r ext4.raw | wc -l)"

echo "== save everything =="
hyperfine --warmup 1 --runs 3 \
  --prepare "rm -rf out-q out-t; sync" \
  -n "quillon-cli save --path /" "$cli save ext4.raw ${volume[*]} --path / --out out-q >/dev/null" \
  -n "tsk_recover -a" "tsk_recover -a ext4.raw out-t >/dev/null"
rm -rf out-q out-t
"$cli" save ext4.raw "${volume[@]}" --path / --out out-q >/dev/null
tsk_recover -a ext4.raw out-t >/dev/null
echo "files saved: quillon $(find out-q -type f | wc -l), tsk_recover $(find out-t -type f | wc -l)"
# Every file tsk_recover wrote must be byte-identical in quillon's copy.
(cd out-t && find . -type f -print0) | while IFS= read -r -d '' f; do
  cmp -s "out-t/$f" "out-q/$f" || echo "differs: $f"
done | head -5
