#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package for a Debian release's OBS with Debian's own tools (debian/, dpkg-buildpackage),
# checks it with lintian (no error, no warning) and prints the .deb's path last.
#   scripts/package.sh [--suite bookworm|trixie|sid]
# bookworm (the default: Debian 12, OBS 29 with Qt 5) builds here when this is Debian 12; the others build
# inside their release's root (scripts/debian-root.sh). The version carries the release:
# build/package-SUITE/obs-orvane_1.0.0+1~deb13_amd64.deb.
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
  bookworm | trixie | sid) ;;
  *) echo "package.sh: unknown suite $suite (bookworm, trixie or sid)" >&2; exit 2 ;;
esac

# dpkg-buildpackage writes beside the source folder, so it builds a copy of the checkout inside the build
# folder; the checkout itself stays as it is.
dir="build/package-$suite"
rm -rf "$root/$dir"
mkdir -p "$root/$dir/source"
tar -C "$root" --exclude=./build --exclude=./.git --exclude=node_modules -cf - . | tar -C "$root/$dir/source" -xf -
# The build's own output goes to build/package-SUITE/build.log; its end is shown when it fails. debhelper builds
# on one core unless asked (-Jauto: as many as the machine has).
build="cd '$root/$dir/source' && { dpkg-buildpackage -b -uc -us -Jauto >../build.log 2>&1 || { tail -n 40 ../build.log >&2;
  exit 1; }; } && cd .. && lintian --fail-on error,warning --info obs-orvane_*_amd64.deb >&2"
if [ "$suite" = bookworm ] && grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
  "$root/scripts/install-deps.sh" >&2
  sh -c "$build"
else
  release_root="$("$root/scripts/debian-root.sh" "$suite")"
  BIND_PROJECT=1 "$root/scripts/in-root.sh" "$release_root" sh -c "$build"
fi
ls "$root/$dir"/obs-orvane_*_amd64.deb
