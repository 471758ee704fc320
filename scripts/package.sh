#!/usr/bin/env bash
# Builds the Debian package (build-package/mv5840vsp_<version>_<arch>.deb) with CPack: a
# Release build installed under /usr, its dependencies found by dpkg-shlibdeps.
#   sudo apt install ./build-package/mv5840vsp_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DMV_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/mv5840vsp_*.deb
