#!/usr/bin/env bash
# Builds the Debian package for the installed OBS (its Qt and its system plug-in folders) into
# build/package and prints the .deb's path.  Usage: scripts/package.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" >&2
dir="$root/build/package"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_INSTALL_LAYOUT=system -DCMAKE_INSTALL_PREFIX=/usr >&2
cmake --build "$dir" -j"$(nproc)" >&2
rm -f "$dir"/*.deb
(cd "$dir" && cpack >&2)
ls "$dir"/*.deb
