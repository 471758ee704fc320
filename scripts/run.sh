#!/usr/bin/env bash
# Install what is missing, build, and start MV5840VSP.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMV_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target MV5840VSP
exec build/app/MV5840VSP "$@"
