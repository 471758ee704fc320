#!/usr/bin/env bash
# Builds the Debian package (build-package/mv5840vsp_<version>_<arch>.deb) with CPack: a
# Release build installed under /usr, its dependencies found by dpkg-shlibdeps.
#   sudo apt install ./build-package/mv5840vsp_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Debian's hardening (stack protector, fortified functions, read-only relocations bound at
# once, position-independent executables), as dpkg-buildflags gives it to every package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $CPPFLAGS"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
export LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
# A fresh configure, so the flags of this run are the ones in the cache.
rm -f build-package/CMakeCache.txt
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DMV_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/mv5840vsp_*.deb
# Debian's own checks; any error or warning fails the build.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning build-package/mv5840vsp_*.deb
fi
