#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes or reuses a Debian root of SUITE with that release's OBS, and prints its path.
#   scripts/debian-root.sh SUITE [--obs-only] [--remove]      SUITE: bookworm, trixie or sid
# Full roots hold the build and test packages too; --obs-only roots hold OBS and what runs it, as a
# streamer's system does (the packaging step installs the package there). Roots live in
# ${ORVANE_ROOTS:-/var/cache/orvane-roots}/ and are made anew when older than a week or when their
# package list changed; --remove deletes it. Needs root (debootstrap); nothing outside the root and the cache
# changes.
# A root is deleted only when it carries its stamp and nothing is mounted under it (a killed run can leave
# /proc, /dev or the project bind-mounted there: those are unmounted first, or the script refuses).
set -euo pipefail
suite="${1:?name a Debian suite: bookworm, trixie or sid}"
shift
kind=""
remove=0
for option in "$@"; do
  case "$option" in
    --remove) remove=1 ;;
    *) kind="$option" ;;
  esac
done
cache="${ORVANE_ROOTS:-/var/cache/orvane-roots}"
mirror="${ORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

case "$suite" in
  bookworm) qt_packages=(qtbase5-dev qtdeclarative5-dev qtwebengine5-dev) ;;
  trixie | sid) qt_packages=(qt6-base-dev qt6-declarative-dev qt6-webengine-dev) ;;
  *) echo "debian-root.sh: unknown suite $suite (bookworm, trixie or sid)" >&2; exit 2 ;;
esac
# What OBS needs to run and be watched here: without obs-plugins OBS has no outputs or encoders, without
# the SVG plug-in no icons.
packages=(obs-studio obs-plugins xvfb xauth x11-utils x11-apps python3 ca-certificates)
[ "$suite" = bookworm ] || packages+=(qt6-svg-plugins)
case "$kind" in
  --obs-only) name="$suite-obs" ;;
  "")
    name="$suite"
    packages+=(build-essential cmake ninja-build pkg-config libobs-dev "${qt_packages[@]}" libx11-dev
      libgtest-dev valgrind nginx libnginx-mod-rtmp ffmpeg curl nodejs npm chromium dpkg-dev debhelper
      lintian file gdb iproute2 nftables dnsmasq-base)
    ;;
  *) echo "debian-root.sh: unknown option $kind" >&2; exit 2 ;;
esac

dir="$cache/$name"
stamp_name=".orvane-root"
wanted="$(printf '%s\n' "$mirror" "${packages[@]}")"
is_current() {
  [ -f "$dir/$stamp_name" ] && [ "$(cat "$dir/$stamp_name")" = "$wanted" ] &&
    [ -z "$(find "$dir/$stamp_name" -mtime +7)" ]
}
if [ "$remove" = 0 ] && is_current; then
  echo "$dir"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "debian-root.sh: making a root needs root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "debian-root.sh: needs debootstrap" >&2; exit 1; }
mkdir -p "$cache"

# One run at a time makes or replaces this root; a second one waits, then takes what the first made.
exec {lock}>"$cache/.$name.lock"
flock "$lock"
if [ "$remove" = 0 ] && is_current; then
  echo "$dir"
  exit 0
fi

# The mount points at or under FOLDER, deepest first (mountinfo escapes blanks as octal).
mounts_under() {
  local folder="$1" point
  awk '{print $5}' /proc/self/mountinfo | while read -r point; do
    point="$(printf '%b' "$point")"
    case "$point/" in "$folder"/*) echo "$point" ;; esac
  done | sort -r
}

# remove_root FOLDER: deletes a root this script made, never what is mounted into it. Runs in the root
# (scripts/in-root.sh) hold its use lock shared: removal waits for them and keeps new ones out meanwhile, so
# no mount can appear between the check below and the deletion.
remove_root() {
  local folder point in_use
  folder="$(realpath -e "$1" 2>/dev/null)" || return 0
  [ -f "$folder/$stamp_name" ] ||
    { echo "debian-root.sh: $folder has no $stamp_name stamp: not deleting it" >&2; return 1; }
  exec {in_use}>"$(dirname "$folder")/.$(basename "$folder").in-use"
  flock -x "$in_use"
  mounts_under "$folder" | while read -r point; do
    umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
  done
  if [ -n "$(mounts_under "$folder")" ]; then
    echo "debian-root.sh: not deleting $folder: still mounted under it: $(mounts_under "$folder" | tr '\n' ' ')" >&2
    return 1
  fi
  rm -rf --one-file-system "$folder"
  exec {in_use}>&-
}

if [ "$remove" = 1 ]; then
  remove_root "$dir"
  exit
fi

fresh="$(mktemp -d "$cache/.$name.XXXXXX")"
chmod 755 "$fresh" # every account may enter the root's /, as on a system
echo "being made" >"$fresh/$stamp_name"
trap 'remove_root "$fresh"' EXIT
start=$(date +%s)
debootstrap --variant=minbase "$suite" "$fresh" "$mirror" >"$cache/$name.log" 2>&1 ||
  { echo "debian-root.sh: debootstrap failed; see $cache/$name.log" >&2; exit 1; }
# No daemon may start inside (nginx would try); sid's Release files may be older than their Valid-Until.
printf '#!/bin/sh\nexit 101\n' >"$fresh/usr/sbin/policy-rc.d"
chmod +x "$fresh/usr/sbin/policy-rc.d"
echo 'Acquire::Check-Valid-Until "false";' >"$fresh/etc/apt/apt.conf.d/99orvane"
cp /etc/resolv.conf "$fresh/etc/resolv.conf" 2>/dev/null || true
"$(dirname "$0")/in-root.sh" "$fresh" sh -c \
  "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(printf '%s ' "${packages[@]}")" \
  >>"$cache/$name.log" 2>&1 || { echo "debian-root.sh: packages failed; see $cache/$name.log" >&2; exit 1; }
"$(dirname "$0")/in-root.sh" "$fresh" apt-get clean >/dev/null 2>&1 || true
printf '%s\n' "$wanted" >"$fresh/$stamp_name"
if [ -e "$dir" ]; then
  remove_root "$dir" || exit 1
fi
mv "$fresh" "$dir"
trap - EXIT
echo "debian-root.sh: made $dir in $(( $(date +%s) - start )) s" >&2
echo "$dir"
