#!/usr/bin/env bash
# The main job on the sample image: install what is missing, build, then show the image's
# information and the volumes on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset default -DQUILLON_TESTS=OFF >/dev/null
cmake --build --preset default -j"$(nproc)" --target quillon-cli
cli=build/default/quillon-cli
$cli info samples/sample.vmdk
echo
$cli volumes samples/sample.vmdk
