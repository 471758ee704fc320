#!/usr/bin/env bash
# Photographs the tray icon's popup menu and the window restored from the tray, on a private
# X server with a small X11 tray host (trayer, installed here when missing).
# Usage: scripts/screenshot-tray.sh [output directory]   (default: build-screenshot/shots)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

if ! command -v trayer >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends trayer
fi

build=build-screenshot
out=$(realpath -m "${1:-$build/shots}")
mkdir -p "$out"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 --target tray_screenshot

# No StatusNotifierWatcher on this private bus, so Qt docks the icon in trayer's X11 tray.
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 640x400x24" dbus-run-session -- bash -c '
  trayer --edge bottom --align right --widthtype request --heighttype pixel --height 28 \
         --SetDockType true --transparent false --tint 0xd0d0d0 &
  sleep 1
  "$0" "$1"
  status=$?
  kill $! 2>/dev/null || true
  exit $status
' "$PWD/$build/tests/tray/tray_screenshot" "$out"
