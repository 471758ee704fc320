#!/usr/bin/env bash
# MV5840VSP next to socat in one run: builds the program and bench_compare in Release
# (build-bench/), then runs both sides in a network namespace of their own (the program binds
# UDP port 3700) with a session bus of their own, and prints the figures of each with the
# ratio. About 10 minutes; --quick takes about 4; --only runs the phases named. The phase net
# (bench/net_compare.py) measures the ports' network servers next to socat.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

if [ "${1:-}" != "--in-namespace" ]; then
  for arg in "$@"; do
    case "$arg" in
      --quick|--only) ;;
      -*) echo "usage: $0 [--quick] [--only PHASE,...]   (phases: idle inbound outbound writers soak stream monitored burst rate worst gaps frontend tcp net)" >&2; exit 2 ;;
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
# The phases of bench_compare, and whether the network servers' comparison runs too.
args=() net=1 others=1
while [ $# -gt 0 ]; do
  if [ "$1" = --only ]; then
    only=",${2:-},"
    [[ "$only" == *,net,* ]] || net=0
    only=${only//,net,/,}; only=${only#,}; only=${only%,}
    if [ -n "$only" ]; then args+=(--only "$only"); else others=0; fi
    shift 2
  else
    args+=("$1")
    shift
  fi
done
# The bus daemon cannot raise its descriptor limit in the namespace; it says so, harmlessly.
if [ "$others" -eq 1 ]; then
  dbus-run-session -- "$build/bench/bench_compare" --program "$build/app/MV5840VSP" --ctl "$build/cli/mv5840vspctl" \
    --work "$work" "${args[@]}" \
    2> >(grep -v "Failed to set fd limit" >&2)
fi
if [ "$net" -eq 1 ]; then
  mkdir -p "$work/net"
  dbus-run-session -- /usr/bin/python3 "$root/bench/net_compare.py" "$build/app/MV5840VSP" "$build/cli/mv5840vspctl" \
    "$work/net" 2> >(grep -v "Failed to set fd limit" >&2)
fi
