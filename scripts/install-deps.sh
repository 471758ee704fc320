#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, and any named on the
# command line (what one tool needs besides); skips what is there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config clang-format git
  qt6-base-dev qt6-base-dev-tools libqt6dbus6 libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 xvfb xauth trayer xdotool
  fonts-wqy-microhei qt6-translations-l10n
  python3 python3-serial python3-pymodbus python3-serial-asyncio
  dpkg-dev file iproute2 util-linux
  lintian appstream desktop-file-utils groff-base man-db
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
