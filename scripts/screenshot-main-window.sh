#!/usr/bin/env bash
# Starts the program under Xvfb with a few ports in a private configuration and saves a
# picture of the screen, to look at after a change of the main window.
# Usage: scripts/screenshot-main-window.sh [out-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-shots/screenshots}")
mkdir -p "$out"
scripts/install-deps.sh
command -v import >/dev/null || { [ "$(id -u)" -eq 0 ] && s="" || s=sudo; $s apt-get install -y -qq imagemagick; }
cmake -S . -B build-shots -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-shots -j2 --target MV5840VSP

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config/Torvane" "$home/runtime" && chmod 700 "$home/runtime"
cat > "$home/config/Torvane/HOLBRN.conf" <<'CONF'
[1]
PortNumber=3
Code=A1
[2]
PortNumber=4
Code=PUMP-STATION
UseFixedIP=1
PeerIP=192.168.10.20
[3]
PortNumber=12
Code=TCP1
UseTcp=1
UseFixedIP=1
PeerIP=127.0.0.1
CONF

XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 900x600x24 -dpi 96" dbus-run-session -- bash -c '
    build-shots/app/MV5840VSP & pid=$!
    sleep 3
    import -window root "'"$out"'/main-window.png"
    kill -TERM $pid; wait $pid'
echo "$out/main-window.png"
