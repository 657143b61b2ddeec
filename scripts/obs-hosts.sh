#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpacks the OBS header tarballs of a folder (ORVANE_OBS_HOSTS, or $1) into build/obs-hosts, once per tarball,
# and prints that folder. The tarballs are obs-headers-<version>.tar.xz: libobs/ and frontend/api/ of that
# release, with obsconfig.h beside libobs/obs.h.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
hosts="${1:-${ORVANE_OBS_HOSTS:?set ORVANE_OBS_HOSTS to a folder of OBS headers}}"
target="$root/build/obs-hosts"
mkdir -p "$target"

found=false
for tarball in "$hosts"/obs-headers-*.tar.xz; do
  [ -f "$tarball" ] || continue
  found=true
  stamp="$target/$(basename "$tarball").stamp"
  signature="$(stat -c '%s %Y' "$tarball")"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$signature" ]; then
    tar -xJf "$tarball" -C "$target"
    echo "$signature" >"$stamp"
  fi
done
$found || { echo "no OBS header tarballs in $hosts" >&2; exit 1; }
echo "$target"
