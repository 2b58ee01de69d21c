#!/usr/bin/env bash
# Writes the default signature file, FileSetting.txt, with quillon-cli's signature editor:
#   data/make_file_setting.sh [path/to/quillon-cli] [output file]
# The file installed beside the program is data/FileSetting.txt; run this after changing a rule
# and commit the result (an integration test checks that the two agree).
#
# How the rules are tuned. An end signature is only looked for at the start of a sector, where a
# file's last bytes almost never lie, so no rule relies on one. Instead:
# - formats whose header gives the file's size (BMP, WAV, AVI) use it: the find has the exact
#   size and the scan continues after the file; the approximate size is the largest size believed;
# - the others get an approximate size large enough for most files of the type (the find then
#   holds the file and whatever follows it, which viewers and players ignore);
# - a skip is set only where a file's body often holds other signatures at sector starts
#   (cover art in MP3 tags and video) and the files are larger than the skip;
# - signatures are long enough (wildcards * stand for version bytes and sizes) that random data
#   seldom matches them.
# Rules are tried in this order and the first that matches wins, so the specific ISO media rules
# (HEIC, QuickTime, M4A) come before the generic MP4 one.
set -euo pipefail
cli=${1:-build/default/quillon-cli}
out=${2:-$(dirname "$0")/FileSetting.txt}
rm -f "$out"

add() { "$cli" signatures add "$out" "$@"; }
MiB=1048576

# Images
add --ext jpg  --start-sig 'FF,D8,FF' --approx-size $((8 * MiB)) --category Images
add --ext png  --start-sig '89,50,4E,47,0D,0A,1A,0A' --approx-size $((8 * MiB)) --category Images
add --ext gif  --start-sig '47,49,46,38,*,61' --approx-size $((4 * MiB)) --category Images
# "BM", the file size (header included), four reserved zero bytes.
add --ext bmp  --start-sig '42,4D,*,*,*,*,00,00,00,00' --size-offset 2 --size-bytes 4 \
    --size-includes-header --approx-size $((64 * MiB)) --category Images
# Little- and big-endian TIFF with the first directory right after the header (also camera raw).
add --ext tif  --start-sig '49,49,2A,00,08,00,00,00' --approx-size $((32 * MiB)) --category Images
add --ext tif  --start-sig '4D,4D,00,2A,00,00,00,08' --approx-size $((32 * MiB)) --category Images
add --ext heic --start-sig '66,74,79,70,68,65,69,63' --start-offset 4 --approx-size $((8 * MiB)) \
    --category Images
add --ext psd  --start-sig '38,42,50,53,00,01' --approx-size $((64 * MiB)) --skip $MiB \
    --category Images

# Documents
add --ext pdf  --start-sig '25,50,44,46,2D' --approx-size $((16 * MiB)) --category Documents
# Compound files: .doc, .xls, .ppt of the older Office versions.
add --ext doc  --start-sig 'D0,CF,11,E0,A1,B1,1A,E1' --approx-size $((8 * MiB)) --category Documents
add --ext rtf  --start-sig '7B,5C,72,74,66,31' --approx-size $((4 * MiB)) --category Documents

# Archives (.docx, .xlsx and .pptx are zip files and come out as .zip)
add --ext zip  --start-sig '50,4B,03,04' --approx-size $((32 * MiB)) --category Archives
add --ext rar  --start-sig '52,61,72,21,1A,07' --approx-size $((32 * MiB)) --category Archives
add --ext 7z   --start-sig '37,7A,BC,AF,27,1C' --approx-size $((32 * MiB)) --category Archives

# Audio
add --ext mp3  --start-sig '49,44,33,*,00' --approx-size $((12 * MiB)) --skip $((256 * 1024)) \
    --category Audio
# "RIFF", the size after the 8-byte chunk header, "WA(VE)".
add --ext wav  --start-sig '52,49,46,46,*,*,*,*,57,41' --size-offset 4 --size-bytes 4 \
    --header-size 8 --approx-size $((1024 * MiB)) --category Audio
add --ext flac --start-sig '66,4C,61,43,00,00,00,22' --approx-size $((64 * MiB)) --category Audio
add --ext ogg  --start-sig '4F,67,67,53,00,02' --approx-size $((16 * MiB)) --category Audio
add --ext m4a  --start-sig '66,74,79,70,4D,34,41,20' --start-offset 4 --approx-size $((16 * MiB)) \
    --category Audio

# Video
add --ext avi  --start-sig '52,49,46,46,*,*,*,*,41,56' --size-offset 4 --size-bytes 4 \
    --header-size 8 --approx-size 2147483647 --category Video
add --ext mov  --start-sig '66,74,79,70,71,74,20,20' --start-offset 4 --approx-size $((128 * MiB)) \
    --skip $MiB --category Video
add --ext mp4  --start-sig '66,74,79,70' --start-offset 4 --approx-size $((128 * MiB)) --skip $MiB \
    --category Video
add --ext mkv  --start-sig '1A,45,DF,A3' --approx-size $((128 * MiB)) --skip $MiB --category Video
# The ASF header object's GUID (.wmv, .wma).
add --ext wmv  --start-sig '30,26,B2,75,8E,66,CF,11,A6,D9' --approx-size $((128 * MiB)) --skip $MiB \
    --category Video

echo "$out: $(( $(stat -c %s "$out") / 173 )) signatures"
