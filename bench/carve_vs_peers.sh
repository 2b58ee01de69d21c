#!/usr/bin/env bash
# Benchmark: carving a 2 GiB raw image of random data that holds a few hundred JPEG, PNG and PDF
# files at random sector offsets, side by side with foremost (sector-aligned search, -q, as our
# engine looks only at sector starts; and its default byte-by-byte search) and photorec, on the
# same image. Reports the time, the throughput in MB/s, how many of the placed files each tool
# found (by the sector offset in its file names) and how much it wrote; plus the speed of simply
# reading the image, the bound for a scan.
# Usage: bench/carve_vs_peers.sh [path/to/quillon-cli] [image size in MiB]
# Needs: python3, foremost, testdisk (photorec), hyperfine; scripts/install-deps.sh dev plus
# foremost and testdisk.
set -euo pipefail
cli=$(realpath "${1:-build/default/quillon-cli}")
mib=${2:-2048}
work=${BENCH_DIR:-$(mktemp -d /var/tmp/quillon-carve-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"

# The image and its manifest (type, byte offset, size per placed file). File sizes are 8 KiB to
# 512 KiB; JPEGs are baseline images padded by a comment, PNGs hold noise, PDFs text.
python3 - "$mib" <<'PY'
import os, random, struct, sys, zlib
mib = int(sys.argv[1])
size = mib << 20
random.seed(42)

def jpeg(n):
    comment = bytes(random.randrange(0x7F) for _ in range(min(n, 65000)))
    out = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    while n > 0:  # comment segments up to the wanted size
        part = comment[: min(n, 65000)]
        out += b"\xff\xfe" + struct.pack(">H", len(part) + 2) + part
        n -= len(part)
    out += b"\xff\xdb\x00\x43\x00" + b"\x01" * 64
    out += b"\xff\xc0\x00\x0b\x08\x00\x08\x00\x08\x01\x01\x11\x00"
    for cls in (0x00, 0x10):
        out += b"\xff\xc4\x00\x14" + bytes([cls, 1]) + bytes(15) + b"\x00"
    return out + b"\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x3f\xff\xd9"

def png(n):
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    w = 256
    h = max(1, n // (w + 1))
    raw = b"".join(b"\x00" + os.urandom(w) for _ in range(h))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b""))

def pdf(n):
    text = "".join("BT /F1 10 Tf 20 %d Td (line %d of a report) Tj ET\n" % (700 - i % 60, i)
                   for i in range(max(1, n // 45)))
    objs = ["<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
            "<< /Length %d >>\nstream\n%sendstream" % (len(text), text)]
    body, offs = "%PDF-1.4\n", []
    for i, o in enumerate(objs):
        offs.append(len(body))
        body += "%d 0 obj\n%s\nendobj\n" % (i + 1, o)
    x = len(body)
    body += "xref\n0 5\n0000000000 65535 f \n" + "".join("%010d 00000 n \n" % o for o in offs)
    body += "trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % x
    return body.encode()

with open("image.raw", "wb") as f:
    for _ in range(mib // 64):
        f.write(os.urandom(64 << 20))
    f.truncate(size)
count = max(3, mib * 300 // 2048)
slots = random.sample(range(1, size // (1 << 20) - 1), count)  # one file per MiB at most
with open("image.raw", "r+b") as f, open("manifest.tsv", "w") as m:
    for i, slot in enumerate(sorted(slots)):
        kind = ("jpg", "png", "pdf")[i % 3]
        data = {"jpg": jpeg, "png": png, "pdf": pdf}[kind](random.randrange(8 << 10, 512 << 10))
        at = (slot << 20) + random.randrange(0, 1024) * 512
        f.seek(at)
        f.write(data)
        m.write("%s\t%d\t%d\n" % (kind, at, len(data)))
PY
placed=$(wc -l < manifest.tsv)
bytes=$(stat -c %s image.raw)

# Signature rules for the three types with approximate sizes as large as the largest placed
# file (the default file's sizes suit real disks, not this image).
rm -f bench.sig
"$cli" signatures add bench.sig --ext jpg --start-sig FF,D8,FF --approx-size 540000 --category Images
"$cli" signatures add bench.sig --ext png --start-sig 89,50,4E,47,0D,0A,1A,0A --approx-size 540000 --category Images
"$cli" signatures add bench.sig --ext pdf --start-sig 25,50,44,46,2D --approx-size 540000 --category Documents

cat image.raw > /dev/null # warm the page cache for every tool alike
echo "== image: $((bytes >> 20)) MiB, $placed files placed =="
hyperfine --warmup 1 --runs 3 --export-json times.json \
  --prepare "rm -rf out-q out-fq out-f out-p; sync" \
  -n "read the image (cat)" "cat image.raw > /dev/null" \
  -n "quillon-cli carve" "$cli carve image.raw --signatures bench.sig --no-default --out out-q > /dev/null 2>&1" \
  -n "foremost -q (sector starts)" "foremost -q -t jpg,png,pdf -i image.raw -o out-fq > /dev/null" \
  -n "foremost (every byte)" "foremost -t jpg,png,pdf -i image.raw -o out-f > /dev/null" \
  -n "photorec" "mkdir -p out-p && photorec /log /d out-p/recup /cmd image.raw partition_none,blocksize,512,fileopt,everything,disable,jpg,enable,png,enable,pdf,enable,search > /dev/null 2>&1"

python3 - "$bytes" <<'PY'
import json, sys
size = int(sys.argv[1])
runs = json.load(open("times.json"))["results"]
base = {r["command"]: r["mean"] for r in runs}
ours = base["quillon-cli carve"]
# CPU seconds (user + system) are shown too: on a busy machine they vary less than wall time.
oursCpu = next(r["user"] + r["system"] for r in runs if r["command"] == "quillon-cli carve")
print("%-30s %9s %10s %12s %9s %12s" % ("tool", "seconds", "MB/s", "time / ours", "cpu s",
                                        "cpu / ours"))
for r in runs:
    cpu = r["user"] + r["system"]
    print("%-30s %9.2f %10.1f %12.2f %9.2f %12.2f" % (r["command"], r["mean"],
                                                      size / r["mean"] / 1e6, r["mean"] / ours,
                                                      cpu, cpu / oursCpu))
PY

# What each tool found: a placed file counts when an output file is named by its sector.
rm -rf out-q out-fq out-f out-p
"$cli" carve image.raw --signatures bench.sig --no-default --out out-q > /dev/null 2>&1
foremost -q -t jpg,png,pdf -i image.raw -o out-fq > /dev/null
foremost -t jpg,png,pdf -i image.raw -o out-f > /dev/null
mkdir -p out-p
photorec /log /d out-p/recup /cmd image.raw \
  partition_none,blocksize,512,fileopt,everything,disable,jpg,enable,png,enable,pdf,enable,search > /dev/null 2>&1
python3 - <<'PY'
import os, re
placed = {}
for line in open("manifest.tsv"):
    kind, at, size = line.split("\t")
    placed[int(at) // 512] = (kind, int(size))
def sectors(folder, pattern):
    found, files, written = set(), 0, 0
    for root, _, names in os.walk(folder):
        for n in names:
            m = re.match(pattern, n)
            if not m:
                continue
            files += 1
            written += os.path.getsize(os.path.join(root, n))
            found.add(int(m.group(1)))
    return found, files, written
tools = [("quillon-cli carve", "out-q", r"(\d+) \.", 512),  # named by byte offset
         ("foremost -q", "out-fq", r"(\d+)\.", 1),  # named by sector
         ("foremost", "out-f", r"(\d+)\.", 1), ("photorec", "out-p", r"f(\d+)", 1)]
print("%-20s %9s %8s %12s" % ("tool", "found", "files", "MiB written"))
for name, folder, pattern, unit in tools:
    found, files, written = sectors(folder, pattern)
    hits = len(set(placed) & {n // unit for n in found})
    print("%-20s %4d/%-4d %8d %12.1f" % (name, hits, len(placed), files, written / 2**20))
PY
