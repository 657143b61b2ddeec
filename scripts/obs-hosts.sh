#!/usr/bin/env bash
# Unpacks the OBS hosts of a folder (ORVANE_OBS_HOSTS, or $1) into build/obs-hosts, once per tarball, and
# prints the OBS 30 tree's path. The folder holds obs-30.2.3-debian12-x86_64.tar.xz and the header
# tarballs obs-headers-<version>.tar.xz; README.md says how to make them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
hosts="${1:-${ORVANE_OBS_HOSTS:?set ORVANE_OBS_HOSTS to a folder of OBS hosts}}"
target="$root/build/obs-hosts"
mkdir -p "$target"

for tarball in "$hosts"/obs-30.2.3-debian12-x86_64.tar.xz "$hosts"/obs-headers-*.tar.xz; do
  [ -f "$tarball" ] || continue
  stamp="$target/$(basename "$tarball").stamp"
  signature="$(stat -c '%s %Y' "$tarball")"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$signature" ]; then
    tar -xJf "$tarball" -C "$target"
    echo "$signature" >"$stamp"
  fi
done
tree="$target/obs-30.2.3"
[ -x "$tree/bin/obs" ] || { echo "no OBS 30.2.3 tree in $hosts" >&2; exit 1; }
echo "$tree"
