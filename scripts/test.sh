#!/usr/bin/env bash
# Runs every test, under Xvfb: the Qt 6 build (modern OBS) with its unit and host tests, and the Qt 5 build
# (the flavour Debian's OBS loads) with unit, host and real-OBS tests. Both build warning-free.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/install-deps.sh"
# The browser tests' one package (playwright-core, which drives Debian's Chromium).
npm ci --prefix "$root/tests/browser" --no-audit --no-fund --loglevel=error >/dev/null
qt5_build="$("$root/scripts/build.sh" 5 | tail -n 1)"
qt6_build="$("$root/scripts/build.sh" 6 -DORVANE_BUILD_TESTS=ON | tail -n 1)"

for build in "$qt6_build" "$qt5_build"; do
  echo "== tests of $(basename "$build")"
  (cd "$build" && xvfb-run -a -s "-screen 0 1280x800x24" ctest --output-on-failure -j"$(nproc)" "$@")
done
