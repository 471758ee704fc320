#!/usr/bin/env bash
# MV5840VSP next to socat in one run: builds the program and bench_compare in Release
# (build-bench/), then runs both sides in a network namespace of their own (the program binds
# UDP port 3700) with a session bus of their own, and prints the figures of each with the
# ratio. About 8 minutes; --quick takes about 2; --only runs the phases named.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

if [ "${1:-}" != "--in-namespace" ]; then
  for arg in "$@"; do
    case "$arg" in
      --quick|--only) ;;
      -*) echo "usage: $0 [--quick] [--only PHASE,...]   (phases: idle inbound outbound writers soak stream monitored burst rate worst gaps frontend tcp)" >&2; exit 2 ;;
    esac
  done
  "$root/scripts/install-deps.sh" socat iproute2 util-linux
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMV_BUILD_BENCH=ON -DMV_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target MV5840VSP mv5840vspctl bench_compare >/dev/null
  unshare=(unshare -n)
  [ "$(id -u)" -eq 0 ] || unshare=(unshare -rn)
  exec "${unshare[@]}" "$0" --in-namespace "$@"
fi
shift

ip link set lo up
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The bus daemon cannot raise its descriptor limit in the namespace; it says so, harmlessly.
dbus-run-session -- "$build/bench/bench_compare" --program "$build/app/MV5840VSP" --ctl "$build/cli/mv5840vspctl" \
  --work "$work" "$@" \
  2> >(grep -v "Failed to set fd limit" >&2)
