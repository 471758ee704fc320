#!/usr/bin/env bash
# A login flood for configured codes next to a streaming DTU: builds the program and
# bench_login_flood in Release (build-bench/) and runs them in a network namespace of their own
# (the program binds UDP port 3700). Prints, for the stream alone and with the flood, what the
# DTU delivered, the kernel's drops at UDP 3700 and the program's CPU; a flood of data datagrams at
# the same rate for comparison.
#   bench/login_flood.sh [--program PATH] [--seconds N] [--stream PER_SECOND] [--flood PER_SECOND]
# --program measures another build of the program (an older one, to compare).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

if [ "${1:-}" != "--in-namespace" ]; then
  "$root/scripts/install-deps.sh" iproute2 util-linux
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMV_BUILD_BENCH=ON -DMV_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target MV5840VSP bench_login_flood >/dev/null
  unshare=(unshare -n)
  [ "$(id -u)" -eq 0 ] || unshare=(unshare -rn)
  exec "${unshare[@]}" "$0" --in-namespace "$@"
fi
shift

program="$build/app/MV5840VSP"
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --program) program=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
ip link set lo up
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/bench_login_flood" --program "$program" --work "$work" "${args[@]}"
