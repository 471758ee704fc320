#!/usr/bin/env bash
# Saves a picture of each dialog (port edit, configuration, about) under an X server, to look
# at after a change of their layout or texts. Usage: scripts/screenshots-dialogs.sh [out-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-shots/screenshots}")
mkdir -p "$out"
scripts/install-deps.sh
cmake -S . -B build-shots -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-shots -j2 --target dialogs_test
MV_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
  build-shots/tests/ui/dialogs_test --gtest_filter=Screenshots.*
ls -1 "$out"/*.png
