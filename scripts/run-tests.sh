#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit, integration and the
# fuzz corpora replays).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake --preset default -DQUILLON_TESTS=ON >/dev/null
cmake --build --preset default -j"$(nproc)"
ctest --preset default -j"$(nproc)"
