#!/usr/bin/env bash
# Checks that every tracked C and C++ source follows .clang-format, without changing any;
# names each file and line that differs and exits non-zero then. Needs no build.
set -euo pipefail
cd "$(dirname "$0")/.."

# Folders not formatted yet; once they are, empty this list and the whole tree is checked.
not_yet_formatted=(bench link net service vport tests/link tests/net tests/service tests/support tests/vport)

excludes=()
for dir in "${not_yet_formatted[@]}"; do
    excludes+=(":(exclude)$dir/")
done
mapfile -t files < <(git ls-files -- '*.h' '*.cpp' '*.c' "${excludes[@]}")
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run --Werror "${files[@]}"
