#!/bin/sh
# Builds the benchmarks in Release and runs every one of them, printing their figures;
# bench_compare and bench_login_flood, which start the program themselves, run through
# compare.sh and login_flood.sh instead.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMV_BUILD_BENCH=ON -DMV_BUILD_TESTS=OFF >/dev/null
benches=$(sed -n 's/^add_executable(\([A-Za-z0-9_]*\).*/\1/p' "$root/bench/CMakeLists.txt" | grep -Ev '^bench_(compare|login_flood)$')
cmake --build "$build" -j2 --target $benches
for bench in $benches; do
  echo "== $bench"
  "$build/bench/$bench"
done
