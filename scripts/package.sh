#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package for a Debian release's OBS (its Qt and its system plug-in folders) and prints
# the .deb's path last.
#   scripts/package.sh [--suite bookworm|trixie|sid]
# bookworm (the default: Debian 12, OBS 29 with Qt 5) builds here when this is Debian 12; the others build
# inside their release's root (scripts/debian-root.sh). The file name carries the release:
# build/package-SUITE/obs-orvane_1.0.0~deb13_amd64.deb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
suite=bookworm
while [ $# -gt 0 ]; do
  case "$1" in
    --suite) suite="${2:?--suite needs bookworm, trixie or sid}"; shift ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$suite" in
  bookworm) release=deb12 ;;
  trixie) release=deb13 ;;
  sid) release=sid ;;
  *) echo "package.sh: unknown suite $suite (bookworm, trixie or sid)" >&2; exit 2 ;;
esac

dir="build/package-$suite"
build="cmake -S . -B '$dir' -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_INSTALL_LAYOUT=system -DCMAKE_INSTALL_PREFIX=/usr -DORVANE_PACKAGE_RELEASE=$release >&2 &&
  cmake --build '$dir' -j$(nproc) >&2 && rm -f '$dir'/*.deb && (cd '$dir' && cpack >&2)"
if [ "$suite" = bookworm ] && grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
  "$root/scripts/install-deps.sh" >&2
  (cd "$root" && sh -c "$build")
else
  release_root="$("$root/scripts/debian-root.sh" "$suite")"
  BIND_PROJECT=1 "$root/scripts/in-root.sh" "$release_root" sh -c "cd '$root' && $build"
fi
ls "$root/$dir"/*.deb
