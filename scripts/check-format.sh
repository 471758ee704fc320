#!/usr/bin/env bash
# Checks that every tracked C and C++ source follows .clang-format, without changing any;
# names each file and line that differs and exits non-zero then. Needs no build.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- '*.h' '*.cpp' '*.c')
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run --Werror "${files[@]}"
