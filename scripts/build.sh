#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the module with one of the CMake presets (warnings as errors) and prints its build folder.
#   scripts/build.sh qt5-obs29|qt6|asan|qt5-asan [extra CMake configure arguments]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:?name a preset: qt5-obs29, qt6, asan or qt5-asan}"
shift

cd "$root"
cmake --preset "ci-$preset" "$@" >/dev/null
case "$preset" in
  qt5-obs29) dir="$root/build/qt5" ;;
  *) dir="$root/build/$preset" ;;
esac
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
