#!/usr/bin/env bash
# Builds the release program into build/FernwickTreeSyncer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DFTS_BUILD_TESTS=OFF >/dev/null
cmake --build build
