#!/usr/bin/env bash
# Builds the module into build/qt<N> (N from $1: 5 or 6; default: the Qt of the installed obs).
# Extra arguments go to CMake's configure step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
major="${1:-}"
shift || true

args=(-DORVANE_WERROR=ON)
if [ -n "$major" ]; then
  args+=("-DORVANE_QT_MAJOR=$major")
  dir="$root/build/qt$major"
else
  dir="$root/build/default"
fi
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
