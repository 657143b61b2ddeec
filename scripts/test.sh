#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every test suite, under Xvfb, and ends with one summary of what passed, failed and was skipped.
# A failing suite does not stop the others. Suites:
#   layers        no source folder includes a folder above it (scripts/check-layers.py)
#   root removal  scripts/debian-root.sh deletes only roots it made, never what is mounted into one
#   qt6           the Qt 6 build (modern OBS): unit and host tests
#   qt5           the Qt 5 build (Debian's OBS 29): unit, host and real-OBS tests
#   trixie, sid   the Qt 6 build inside a Debian 13 / sid root (scripts/debian-root.sh): unit, host and
#                 real-OBS tests in that release's own OBS (30.2.3 with Qt 6.8, 32 with Qt 6.11)
#   headers       every module source compiled against OBS 31.1.1's headers (ORVANE_OBS_HOSTS), which no
#                 Debian release ships
#   sanitizers    the Qt 6 unit and host tests again, built with ASan and UBSan
#   days controls obs-30.2.3  the days' unclean-shutdown controls in a release build of OBS (ORVANE_OBS_HOSTS)
#   days sanitizers  random streamer days (tests/days) in Debian's OBS 29 with the module built with ASan and
#                 UBSan (libasan preloaded into OBS); every other OBS runs its days among its real-OBS tests
#   packaging     the Debian package of each release (fields, files; installed with apt, loaded by OBS,
#                 removed; Debian 13's and sid's in a root of theirs with only OBS) and the per-user install
#                 script (install, refusals, uninstall, purge, the build packages it installs)
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
  local started=$SECONDS
  echo "== $name"
  if "$@"; then
    echo "$name passed ($((SECONDS - started)) s)" >>"$results/steps"
  else
    echo "$name failed ($((SECONDS - started)) s)" >>"$results/steps"
  fi
}
passed() { grep -q "^$1 passed" "$results/steps"; }

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
  if passed "build $name"; then
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
step "root removal" python3 -m unittest -v "$root/tests/scripts/test_debian_root.py"
build_and_test qt6 qt6 "$root/build/qt6" "$@"
build_and_test qt5 qt5-obs29 "$root/build/qt5" "$@"

# The Qt 6 build (warnings as errors, tests included) and every suite in the OBS that Debian 13 and sid ship
# (30.2.3 with Qt 6.8, 32 with Qt 6.11), each inside a root of that release (scripts/debian-root.sh).
in_release_root() { # in_release_root SUITE COMMAND: runs COMMAND in the project, inside SUITE's root
  local suite="$1"
  shift
  BIND_PROJECT=1 "$root/scripts/in-root.sh" "$(cat "$results/root-$suite")" sh -c "cd '$root' && $*"
}
release_build() {
  "$root/scripts/debian-root.sh" "$1" >"$results/root-$1" &&
    in_release_root "$1" "cmake --preset ci-qt6 -B build/$1 -G Ninja >/dev/null && cmake --build build/$1"
}
release_tests() {
  local suite="$1"
  shift
  in_release_root "$suite" "cd build/$suite && xvfb-run -a -s '-screen 0 1280x800x24' ctest --output-on-failure \
    -j$(nproc) --output-junit '$results/$suite.xml' $*"
}
for suite in trixie sid; do
  step "build $suite" release_build "$suite"
  if passed "build $suite"; then
    step "tests $suite" release_tests "$suite" "$@"
  else
    echo "tests $suite skipped (its build failed)" >>"$results/steps"
  fi
done

# Debian builds OBS without NDEBUG, and OBS then builds its unclean-shutdown check out: the days' controls
# (OBS killed mid-session, the next start must report it) run in the release build of OBS 30.2.3 that
# ORVANE_OBS_HOSTS holds, with the module built against it.
tree_controls() {
  local tree="$root/build/obs30-tree"
  if [ ! -x "$tree/obs-30.2.3/bin/obs" ]; then
    mkdir -p "$tree" && tar -xJf "$ORVANE_OBS_HOSTS/obs-30.2.3-debian12-x86_64.tar.xz" -C "$tree" || return 1
  fi
  cmake --preset ci-qt6 -B "$root/build/obs30" -DCMAKE_PREFIX_PATH="$tree/obs-30.2.3" >/dev/null &&
    cmake --build "$root/build/obs30" --target orvane orvane-webview orvane_close_window -j"$(nproc)" >/dev/null &&
    (cd "$root/tests/days" && ORVANE_BUILD_DIR="$root/build/obs30" ORVANE_E2E_OBS="$tree/obs-30.2.3/bin/obs" \
      xvfb-run -a python3 days.py --controls)
}
if [ -f "${ORVANE_OBS_HOSTS:-/nonexistent}/obs-30.2.3-debian12-x86_64.tar.xz" ]; then
  step "days controls obs-30.2.3" tree_controls
else
  echo "days controls obs-30.2.3 skipped (ORVANE_OBS_HOSTS names no folder with OBS 30.2.3's release build)" \
    >>"$results/steps"
fi

# OBS 31 is in no Debian release: every module source is compiled against its headers, from the folder
# ORVANE_OBS_HOSTS names.
if [ -n "${ORVANE_OBS_HOSTS:-}" ] && headers="$("$root/scripts/obs-hosts.sh")"; then
  step "headers obs-31.1.1" check_headers 31.1.1 "$headers/obs-headers-31.1.1"
else
  echo "headers obs-31.1.1 skipped (ORVANE_OBS_HOSTS names no folder with OBS 31's headers; docs/contributing.md)" \
    >>"$results/steps"
fi

# Leaks inside libobs's own plug-ins are not the module's: tests/sanitizers/leaks.supp names them.
LSAN_OPTIONS="suppressions=$root/tests/sanitizers/leaks.supp:print_suppressions=0" \
  build_and_test sanitizers asan "$root/build/asan" "$@"

# Random streamer days with the module alone instrumented: OBS itself is not, so libasan comes first.
sanitized_days() {
  "$root/scripts/build.sh" qt5-asan >/dev/null &&
    (cd "$root/tests/days" && ORVANE_BUILD_DIR="$root/build/qt5-asan" \
      ORVANE_CLOSE_WINDOW="$root/build/qt5/tests/orvane_close_window" \
      ORVANE_E2E_OBS_WRAPPER="env LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0" \
      python3 days.py --days 2 --actions 20 --first-seed 100)
}
step "days sanitizers" sanitized_days

# The Debian package of each release and the per-user install, as a streamer installs them (apt needs root).
# Debian 12's package installs here; Debian 13's and sid's into a throw-away layer over a root of their
# release that has only OBS, as a streamer's system.
packaging() {
  local deb
  deb="$("$root/scripts/package.sh" | tail -n 1)" &&
    (cd "$root/tests/e2e" && ORVANE_DEB="$deb" ORVANE_BUILD_DIR="$root/build/qt5" python3 -m unittest -v test_packaging)
}
release_packaging() {
  local suite="$1" deb obs_root layer status
  deb="$("$root/scripts/package.sh" --suite "$suite" | tail -n 1)" || return 1
  obs_root="$("$root/scripts/debian-root.sh" "$suite" --obs-only)" || return 1
  layer="$(mktemp -d)"
  mkdir -p "$layer/upper" "$layer/work" "$layer/merged"
  mount -t overlay overlay -o "lowerdir=$obs_root,upperdir=$layer/upper,workdir=$layer/work" "$layer/merged" ||
    { rm -rf "$layer"; return 1; }
  BIND_PROJECT=1 "$root/scripts/in-root.sh" "$layer/merged" sh -c "cd '$root/tests/e2e' && ORVANE_DEB='$deb' \
    ORVANE_BUILD_DIR='$root/build/$suite' python3 -m unittest -v test_packaging.DebianPackage"
  status=$?
  umount "$layer/merged"
  rm -rf "$layer"
  return $status
}
step packaging packaging
for suite in trixie sid; do
  if passed "build $suite"; then
    step "packaging $suite" release_packaging "$suite"
  else
    echo "packaging $suite skipped (the $suite build failed)" >>"$results/steps"
  fi
done

replay_corpus() {
  local fuzzer
  fuzzer="$("$root/scripts/build-fuzzer.sh")" && "$fuzzer" "$root/tests/fuzz/corpus/"*
}
step "fuzz corpus" replay_corpus

if passed "build qt5"; then
  step "bench smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/run.py" --smoke
  step "soak smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/soak.py" --smoke
else
  echo "bench smoke skipped (the qt5 build failed)" >>"$results/steps"
  echo "soak smoke skipped (the qt5 build failed)" >>"$results/steps"
fi

python3 "$root/scripts/test-summary.py" "$results"
