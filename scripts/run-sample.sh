#!/usr/bin/env bash
# The main job on the sample image: install what is missing, build, then show the image's
# information and the volumes on it, list the NTFS volume (deleted files included) and the FAT32
# volume, and recover everything on the NTFS volume into a new temporary folder (or the folder
# given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-$(mktemp -d "${TMPDIR:-/tmp}/quillon-recovered-XXXXXX")}
scripts/install-deps.sh build
cmake --preset default -DQUILLON_TESTS=OFF >/dev/null
cmake --build --preset default -j"$(nproc)" --target quillon-cli
cli=build/default/quillon-cli
$cli info samples/sample.vmdk
echo
$cli volumes samples/sample.vmdk
echo
$cli ls samples/sample.vmdk --volume 0 --recursive
echo
$cli ls samples/sample.vmdk --volume 1 --recursive
echo
$cli save samples/sample.vmdk --volume 0 --out "$out"
echo "recovered files are in $out"
