#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every test suite, under Xvfb, and ends with one summary of what passed, failed and was skipped.
# A failing suite does not stop the others. Suites:
#   layers        no source folder includes a folder above it (scripts/check-layers.py)
#   root removal  scripts/debian-root.sh deletes only roots it made, never what is mounted into one
#   bench tests   the benchmark's own cases (instruction counts skipped only where the machine stops valgrind)
#   qt5           the Qt 5 build (Debian's OBS 29): unit, host and real-OBS tests
#   trixie, sid   the Qt 6 build inside a Debian 13 / sid root (scripts/debian-root.sh): unit, host and
#                 real-OBS tests in that release's own OBS (30.2.3 with Qt 6.8, 32 with Qt 6.11)
#   headers       every module source compiled against OBS 31.1.1's headers (ORVANE_OBS_HOSTS), which no
#                 Debian release ships
#   sanitizers    the Qt 6 build on Debian 12 (modern OBS's Qt), with ASan and UBSan: unit and host tests
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
# Builds other than the first run beside the tests, at the lowest priority (see builds below). The suites that
# measure OBS against time (labelled quiet: OBS's stream on a short uplink, the days' answer limit) run last,
# as "tests qt5.quiet" and so on, once those builds are done.
# Further arguments go to every ctest run (for example -R DockPage).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
results="$root/build/test-results"
rm -rf "$results"
mkdir -p "$results"

"$root/scripts/install-deps.sh" || exit 1
# The browser tests' one package (playwright-core, which drives Debian's Chromium).
npm ci --prefix "$root/tests/browser" --no-audit --no-fund --loglevel=error >/dev/null || exit 1

# step NAME COMMAND...: runs one step, prints its output as it goes (and keeps it in RESULTS/output-NAME.log
# for the summary, through a process substitution so that nothing the step leaves behind holds it up),
# records its outcome and its time.
step() {
  local name="$1" started=$SECONDS
  shift
  echo "== $name"
  if "$@" > >(tee "$results/output-${name//[^A-Za-z0-9.-]/_}.log") 2>&1; then
    echo "$name passed ($((SECONDS - started)) s)" >>"$results/steps"
  else
    echo "$name failed ($((SECONDS - started)) s)" >>"$results/steps"
  fi
}
passed() { grep -q "^$1 passed" "$results/steps"; }
skipped() { echo "$1 skipped ($2)" >>"$results/steps"; }

# run_ctest BUILD REPORT ARGS...: runs the tests of one build, keeping a JUnit report named REPORT for the summary.
run_ctest() {
  local build="$1" report="$2"
  shift 2
  (cd "$build" && xvfb-run -a -s "-screen 0 1280x800x24" \
    ctest --output-on-failure -j"$(nproc)" --output-junit "$results/$report.xml" "$@")
}

# The builds run one after another beside the tests, at the lowest priority (CPU and disk), so that they use
# what the tests leave idle and never slow OBS down; their output goes to the end of this run's output.
# build_done NAME waits for the build step NAME and says whether it passed.
build_done() {
  while ! grep -q "^$1 \(passed\|failed\)" "$results/steps" && kill -0 "$builds_pid" 2>/dev/null; do
    sleep 2
  done
  passed "$1"
}

in_release_root() { # in_release_root SUITE COMMAND: runs COMMAND in the project, inside SUITE's root
  local suite="$1"
  shift
  BIND_PROJECT=1 "$root/scripts/in-root.sh" "$(cat "$results/root-$suite")" sh -c "cd '$root' && $*"
}
# The Qt 6 build (warnings as errors, tests included) inside a root of Debian 13 or sid (scripts/debian-root.sh).
release_build() {
  "$root/scripts/debian-root.sh" "$1" >"$results/root-$1" &&
    in_release_root "$1" "cmake --preset ci-qt6 -B build/$1 -G Ninja >/dev/null && cmake --build build/$1"
}
check_headers() {
  local headers
  headers="$("$root/scripts/obs-hosts.sh")" &&
    cmake -S "$root/tests/obs-headers" -B "$root/build/obs-headers-31.1.1" \
      -DORVANE_OBS_HEADERS="$headers/obs-headers-31.1.1" >/dev/null &&
    cmake --build "$root/build/obs-headers-31.1.1" -j"$(nproc)"
}
obs30_tree="$root/build/obs30-tree"
tree_build() {
  if [ ! -x "$obs30_tree/obs-30.2.3/bin/obs" ]; then
    mkdir -p "$obs30_tree" &&
      tar -xJf "$ORVANE_OBS_HOSTS/obs-30.2.3-debian12-x86_64.tar.xz" -C "$obs30_tree" || return 1
  fi
  cmake --preset ci-qt6 -B "$root/build/obs30" -DCMAKE_PREFIX_PATH="$obs30_tree/obs-30.2.3" >/dev/null &&
    cmake --build "$root/build/obs30" --target orvane orvane-webview orvane_close_window -j"$(nproc)"
}
package() { # package SUITE: the release's package, its path kept for the packaging step
  "$root/scripts/package.sh" --suite "$1" >"$results/deb-$1.out" && tail -n 1 "$results/deb-$1.out" >"$results/deb-$1"
}
has_obs30_tree() { [ -f "${ORVANE_OBS_HOSTS:-/nonexistent}/obs-30.2.3-debian12-x86_64.tar.xz" ]; }
builds() {
  step "build trixie" release_build trixie
  step "build sid" release_build sid
  step "build sanitizers" "$root/scripts/build.sh" asan
  if has_obs30_tree; then
    step "build obs-30.2.3" tree_build
  fi
  # OBS 31 is in no Debian release: every module source is compiled against its headers, from the folder
  # ORVANE_OBS_HOSTS names.
  if [ -n "${ORVANE_OBS_HOSTS:-}" ] && "$root/scripts/obs-hosts.sh" >/dev/null; then
    step "headers obs-31.1.1" check_headers
  else
    skipped "headers obs-31.1.1" "ORVANE_OBS_HOSTS names no folder with OBS 31's headers; docs/contributing.md"
  fi
  step "build qt5-asan" "$root/scripts/build.sh" qt5-asan
  step "package bookworm" package bookworm
  for suite in trixie sid; do
    if passed "build $suite"; then
      step "package $suite" package "$suite"
    fi
  done
  # Last: the one step waiting for it takes seconds, so the quiet suites start as soon as the builds end.
  step "build fuzzer" "$root/scripts/build-fuzzer.sh"
}

step layers python3 "$root/scripts/check-layers.py"
step "root removal" python3 -m unittest -v "$root/tests/scripts/test_debian_root.py"
step "bench tests" python3 -m unittest -v "$root/bench/test_run.py"
step "build qt5" "$root/scripts/build.sh" qt5-obs29
export root results obs30_tree
export -f step passed skipped in_release_root release_build check_headers tree_build package has_obs30_tree builds
nice -n 19 ionice -c 3 bash -c builds >"$results/builds.log" 2>&1 &
builds_pid=$!

if passed "build qt5"; then
  step "tests qt5" run_ctest "$root/build/qt5" qt5 -LE quiet "$@"
  # The smoke runs need only the first build: they run while the release builds are still going.
  step "bench smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/run.py" --smoke
  # A measurement this machine can't take is a skip of its own, by name, with the benchmark's reason.
  sed -n 's/^skipped: \([^:]*\): \(.*\)$/bench smoke: \1 skipped (\2)/p' "$results/output-bench_smoke.log" \
    >>"$results/steps"
  step "soak smoke" env ORVANE_BUILD_DIR="$root/build/qt5" python3 "$root/bench/soak.py" --smoke
else
  skipped "tests qt5" "its build failed"
  skipped "bench smoke" "the qt5 build failed"
  skipped "soak smoke" "the qt5 build failed"
fi

# Every suite in the OBS that Debian 13 and sid ship (30.2.3 with Qt 6.8, 32 with Qt 6.11), inside their root.
release_tests() { # release_tests SUITE REPORT ARGS...
  local suite="$1" report="$2"
  shift 2
  in_release_root "$suite" "cd build/$suite && xvfb-run -a -s '-screen 0 1280x800x24' ctest --output-on-failure \
    -j$(nproc) --output-junit '$results/$report.xml' $*"
}
for suite in trixie sid; do
  if build_done "build $suite"; then
    step "tests $suite" release_tests "$suite" "$suite" -LE quiet "$@"
  else
    skipped "tests $suite" "its build failed"
  fi
done

# The Qt 6 unit and host tests on Debian 12 with ASan and UBSan. Leaks inside libobs's own plug-ins are not the
# module's: tests/sanitizers/leaks.supp names them.
if build_done "build sanitizers"; then
  LSAN_OPTIONS="suppressions=$root/tests/sanitizers/leaks.supp:print_suppressions=0" \
    step "tests sanitizers" run_ctest "$root/build/asan" asan "$@"
else
  skipped "tests sanitizers" "its build failed"
fi

# Debian builds OBS without NDEBUG, and OBS then builds its unclean-shutdown check out: the days' controls
# (OBS killed mid-session, the next start must report it) run in the release build of OBS 30.2.3 that
# ORVANE_OBS_HOSTS holds, with the module built against it.
tree_controls() {
  cd "$root/tests/days" && ORVANE_BUILD_DIR="$root/build/obs30" ORVANE_E2E_OBS="$obs30_tree/obs-30.2.3/bin/obs" \
    xvfb-run -a python3 days.py --controls
}
if ! has_obs30_tree; then
  skipped "days controls obs-30.2.3" "ORVANE_OBS_HOSTS names no folder with OBS 30.2.3's release build"
elif build_done "build obs-30.2.3"; then
  step "days controls obs-30.2.3" tree_controls
else
  skipped "days controls obs-30.2.3" "its build failed"
fi

# Random streamer days with the module alone instrumented: OBS itself is not, so libasan comes first.
sanitized_days() {
  cd "$root/tests/days" && ORVANE_BUILD_DIR="$root/build/qt5-asan" \
    ORVANE_CLOSE_WINDOW="$root/build/qt5/tests/orvane_close_window" \
    ORVANE_E2E_OBS_WRAPPER="env LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0" \
    python3 days.py --days 2 --actions 20 --first-seed 100
}
if build_done "build qt5-asan"; then
  step "days sanitizers" sanitized_days
else
  skipped "days sanitizers" "its build failed"
fi

# The Debian package of each release and the per-user install, as a streamer installs them (apt needs root).
# Debian 12's package installs here; Debian 13's and sid's into a throw-away layer over a root of their
# release that has only OBS, as a streamer's system.
packaging() {
  (cd "$root/tests/e2e" && ORVANE_DEB="$(cat "$results/deb-bookworm")" ORVANE_BUILD_DIR="$root/build/qt5" \
    python3 -m unittest -v test_packaging)
}
release_packaging() {
  local suite="$1" deb obs_root layer status
  deb="$(cat "$results/deb-$suite")"
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
if build_done "package bookworm" && passed "build qt5"; then
  step packaging packaging
else
  skipped packaging "the package or the qt5 build failed"
fi
for suite in trixie sid; do
  if build_done "package $suite"; then
    step "packaging $suite" release_packaging "$suite"
  else
    skipped "packaging $suite" "the $suite build or package failed"
  fi
done

if build_done "build fuzzer"; then
  step "fuzz corpus" sh -c "'$root/build/fuzz/request_fuzzer' '$root'/tests/fuzz/corpus/*"
else
  skipped "fuzz corpus" "the fuzzer's build failed"
fi

wait "$builds_pid"
echo "== the builds beside the tests"
cat "$results/builds.log"

# A build beside them would take OBS's time and the network's: these suites run on a machine left to them.
if passed "build qt5"; then
  step "tests qt5.quiet" run_ctest "$root/build/qt5" qt5.quiet -L quiet "$@"
fi
for suite in trixie sid; do
  if passed "build $suite"; then
    step "tests $suite.quiet" release_tests "$suite" "$suite.quiet" -L quiet "$@"
  fi
done

python3 "$root/scripts/test-summary.py" "$results"
