#!/usr/bin/env bash
# Runs every test: builds the Qt 5 module with its tests (the flavour Debian's OBS loads), checks that the
# Qt 6 module builds warning-free too, then runs unit, host and real-OBS tests under Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/install-deps.sh"
# The browser tests' one package (playwright-core, which drives Debian's Chromium).
npm ci --prefix "$root/tests/browser" --no-audit --no-fund --loglevel=error >/dev/null
"$root/scripts/build.sh" 6 -DORVANE_BUILD_TESTS=OFF >/dev/null
build="$("$root/scripts/build.sh" 5 | tail -n 1)"

cd "$build"
xvfb-run -a -s "-screen 0 1280x800x24" ctest --output-on-failure -j"$(nproc)" "$@"
