#!/usr/bin/env bash
# Runs every test suite, under Xvfb, and ends with one summary of what passed, failed and was skipped.
# A failing suite does not stop the others. Suites:
#   layers        no source folder includes a folder above it (scripts/check-layers.py)
#   qt6           the Qt 6 build (modern OBS): unit and host tests
#   qt5           the Qt 5 build (Debian's OBS): unit, host and real-OBS tests
#   sanitizers    the Qt 6 unit and host tests again, built with ASan and UBSan
#   fuzz corpus   the request fuzzer's seed corpus, replayed once (no fuzzing time: scripts/fuzz.sh fuzzes)
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

step layers python3 "$root/scripts/check-layers.py"
for major in 6 5; do
  if step "build qt$major" "$root/scripts/build.sh" "$major" -DORVANE_BUILD_TESTS=ON; then :; fi
  if grep -qx "build qt$major passed" "$results/steps"; then
    step "tests qt$major" run_ctest "$root/build/qt$major" "$@"
  else
    echo "tests qt$major skipped (its build failed)" >>"$results/steps"
  fi
done

# Leaks inside libobs's own plug-ins are not the module's: tests/sanitizers/leaks.supp names them.
if step "build sanitizers" "$root/scripts/build.sh" asan; then :; fi
if grep -qx "build sanitizers passed" "$results/steps"; then
  LSAN_OPTIONS="suppressions=$root/tests/sanitizers/leaks.supp:print_suppressions=0" \
    step "tests sanitizers" run_ctest "$root/build/asan" "$@"
else
  echo "tests sanitizers skipped (its build failed)" >>"$results/steps"
fi

replay_corpus() {
  local fuzzer
  fuzzer="$("$root/scripts/build-fuzzer.sh")" && "$fuzzer" "$root/tests/fuzz/corpus/"*
}
step "fuzz corpus" replay_corpus

python3 "$root/scripts/test-summary.py" "$results"
