#!/usr/bin/env bash
# Runs every test suite, under Xvfb, and ends with one summary of what passed, failed and was skipped.
# A failing suite does not stop the others. Suites:
#   layers        no source folder includes a folder above it (scripts/check-layers.py)
#   qt6           the Qt 6 build (modern OBS): unit and host tests
#   qt5           the Qt 5 build (Debian's OBS 29): unit, host and real-OBS tests
#   obs-tree      the Qt 6 build against OBS 30.2.3 from the folder ORVANE_OBS_HOSTS names: unit, host and
#                 real-OBS tests in that OBS; and every module source compiled against OBS 31 and 32's
#                 headers. Without ORVANE_OBS_HOSTS these are reported as skipped.
#   sanitizers    the Qt 6 unit and host tests again, built with ASan and UBSan
#   packaging     the Debian package (fields, files; installed with dpkg, loaded by OBS, removed) and the
#                 per-user install script (install, refusals, uninstall, purge)
#   fuzz corpus   the request fuzzer's seed corpus, replayed once (no fuzzing time: scripts/fuzz.sh fuzzes)
#   bench smoke   the benchmark suite with tiny durations (bench/run.py --smoke): every measurement still
#                 runs; its figures gate nothing
#   soak smoke    the day-long run in a few seconds (bench/soak.py --smoke)
# Further arguments go to every ctest run (for example -R DockPage).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
results="$root/build/test-results"
rm -rf "$results"
mkdir -p "$results"

"$root/scripts/install-deps.sh" || exit 1
# The browser tests' one package (playwright-core, which drives Debian's Chromium).
npm ci --prefix "$root/tests/browser" --no-audit --no-fund --loglevel=error >/dev/null || exit 1

# step NAME COMMAND...: runs one step, prints its output as it goes, records its outcome.
step() {
  local name="$1"
  shift
  echo "== $name"
  if "$@"; then
    echo "$name passed" >>"$results/steps"
  else
    echo "$name failed" >>"$results/steps"
  fi
}

# Runs the tests of one build, keeping a JUnit report for the summary.
run_ctest() {
  local build="$1"
  shift
  (cd "$build" && xvfb-run -a -s "-screen 0 1280x800x24" \
    ctest --output-on-failure -j"$(nproc)" --output-junit "$results/$(basename "$build").xml" "$@")
}

# build_and_test NAME PRESET BUILD_DIR [ctest arguments]
build_and_test() {
  local name="$1" preset="$2" dir="$3"
  shift 3
  step "build $name" "$root/scripts/build.sh" "$preset"
  if grep -qx "build $name passed" "$results/steps"; then
    step "tests $name" run_ctest "$dir" "$@"
  else
    echo "tests $name skipped (its build failed)" >>"$results/steps"
  fi
}

check_headers() {
  cmake -S "$root/tests/obs-headers" -B "$root/build/obs-headers-$1" -DORVANE_OBS_HEADERS="$2" >/dev/null &&
    cmake --build "$root/build/obs-headers-$1" -j"$(nproc)"
}

step layers python3 "$root/scripts/check-layers.py"
build_and_test qt6 qt6 "$root/build/qt6" "$@"
build_and_test qt5 qt5-obs29 "$root/build/qt5" "$@"

if [ -n "${ORVANE_OBS_HOSTS:-}" ] && tree="$("$root/scripts/obs-hosts.sh")"; then
  export ORVANE_OBS_TREE="$tree"
  build_and_test obs-tree qt6-obs-tree "$root/build/obs-tree" "$@"
  for version in 31.1.1 32.2.2; do
    step "headers obs-$version" check_headers "$version" "$root/build/obs-hosts/obs-headers-$version"
  done
else
  why="(ORVANE_OBS_HOSTS names no folder of OBS hosts; README.md says how to make one)"
  for suite in e2e.obs_foundation e2e.obs_relay e2e.obs_bridge e2e.obs_dock_page e2e.obs_dock_layout; do
    echo "obs-tree: $suite skipped $why" >>"$results/steps"
  done
  echo "headers obs-31.1.1 skipped $why" >>"$results/steps"
  echo "headers obs-32.2.2 skipped $why" >>"$results/steps"
fi

# Leaks inside libobs's own plug-ins are not the module's: tests/sanitizers/leaks.supp names them.
LSAN_OPTIONS="suppressions=$root/tests/sanitizers/leaks.supp:print_suppressions=0" \
  build_and_test sanitizers asan "$root/build/asan" "$@"

# The Debian package and the per-user install, as a streamer installs them (dpkg needs root).
packaging() {
  local deb
  deb="$("$root/scripts/package.sh")" &&
    (cd "$root/tests/e2e" && ORVANE_DEB="$deb" ORVANE_BUILD_DIR="$root/build/qt5" python3 -m unittest -v test_packaging)
}
step packaging packaging

replay_corpus() {
  local fuzzer
  fuzzer="$("$root/scripts/build-fuzzer.sh")" && "$fuzzer" "$root/tests/fuzz/corpus/"*
}
step "fuzz corpus" replay_corpus

if grep -qx "build qt5 passed" "$results/steps"; then
  step "bench smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/run.py" --smoke
  step "soak smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/soak.py" --smoke
else
  echo "bench smoke skipped (the qt5 build failed)" >>"$results/steps"
  echo "soak smoke skipped (the qt5 build failed)" >>"$results/steps"
fi

python3 "$root/scripts/test-summary.py" "$results"
