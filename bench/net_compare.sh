#!/usr/bin/env bash
# A port's network server next to socat (see net_compare.py): builds the program in Release
# (build-bench/) and runs the comparison in a network namespace of its own (the program binds
# UDP port 3700 and TCP ports 4600 to 4899) with a session bus of its own. About 2 minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

if [ "${1:-}" != "--in-namespace" ]; then
  "$root/scripts/install-deps.sh" socat iproute2 util-linux
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target MV5840VSP mv5840vspctl >/dev/null
  unshare=(unshare -n)
  [ "$(id -u)" -eq 0 ] || unshare=(unshare -rn)
  exec "${unshare[@]}" "$0" --in-namespace
fi

ip link set lo up
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dbus-run-session -- /usr/bin/python3 "$root/bench/net_compare.py" "$build/app/MV5840VSP" "$build/cli/mv5840vspctl" \
  "$work" 2> >(grep -v "Failed to set fd limit" >&2)
