#!/usr/bin/env bash
# Builds the module: $1 is 5 or 6 (into build/qt<N>), asan (Qt 6 with ASan and UBSan, into build/asan) or
# empty (the Qt of the installed obs, into build/default).
# Extra arguments go to CMake's configure step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
major="${1:-}"
shift || true

args=(-DORVANE_WERROR=ON)
if [ "$major" = asan ]; then
  args+=(-DORVANE_QT_MAJOR=6 -DORVANE_SANITIZE=ON)
  dir="$root/build/asan"
elif [ -n "$major" ]; then
  args+=("-DORVANE_QT_MAJOR=$major")
  dir="$root/build/qt$major"
else
  dir="$root/build/default"
fi
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
