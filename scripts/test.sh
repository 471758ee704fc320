#!/usr/bin/env bash
# Install what is missing, build the tests with AddressSanitizer+UBSan and with ThreadSanitizer,
# and run them all. Exits non-zero when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=address >/dev/null
cmake --build build-asan -j"$jobs"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=thread -DMV_DATA_PATH_ONLY=ON >/dev/null
cmake --build build-tsan -j"$jobs"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export QT_QPA_PLATFORM=offscreen

# Every test gets a bus of its own session; the widget and tray tests also need an X server.
status=0
dbus-run-session -- ctest --test-dir build-asan --output-on-failure -j2 || status=1
dbus-run-session -- ctest --test-dir build-tsan --output-on-failure -L threaded || status=1
exit $status
