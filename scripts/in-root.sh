#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs COMMAND inside the Debian root ROOT, with /proc, /sys, /dev, /dev/pts and /dev/shm mounted for the
# run (and the project, at the same path as outside, when BIND_PROJECT=1), and always unmounted again: also
# when the command fails or is interrupted. The run holds the root's use lock (shared) throughout, so that
# scripts/debian-root.sh never removes the root while something is mounted into it for a run. Each run mounts
# in a mount namespace of its own, so runs in one root side by side never meet (or unmount) each other's
# mounts, and nothing the run mounts is seen outside it.
#   scripts/in-root.sh ROOT COMMAND [ARGUMENT...]
set -euo pipefail
if [ "${ORVANE_IN_ROOT_OWN_MOUNTS:-}" != "$$" ]; then
  exec env ORVANE_IN_ROOT_OWN_MOUNTS="$$" unshare --mount --propagation private "$0" "$@"
fi
root="$(cd "${1:?name a root}" && pwd)"
shift
project="$(cd "$(dirname "$0")/.." && pwd)"
mounted=()
exec {in_use}>"$(dirname "$root")/.$(basename "$root").in-use"
flock -s "$in_use"

unmount_all() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount "${mounted[$index]}" 2>/dev/null || umount -l "${mounted[$index]}" 2>/dev/null || true
  done
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

mount_in() { # mount_in TARGET MOUNT-ARGUMENTS...
  local target="$root$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs tmpfs
if [ "${BIND_PROJECT:-0}" = 1 ]; then
  mount_in "$project" --bind "$project"
fi
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
  ${CI:+CI="$CI"} chroot "$root" "$@"
