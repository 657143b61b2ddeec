#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what building the module needs for an OBS that uses Qt QT_MAJOR, and nothing else: the compiler,
# CMake, libobs's headers and the Qt base and WebEngine development packages. Says what it will install and
# asks first (--yes: don't ask). Knows Debian 12 "bookworm", Debian 13 "trixie", Debian sid and systems
# built on them; refuses on any other.
#   scripts/build-deps.sh QT_MAJOR [--yes] [--list]     --list: print the packages and change nothing
set -euo pipefail
qt="${1:?name the Qt major version of your OBS: 5 or 6}"
shift
assume_yes=false
list_only=false
for option in "$@"; do
  case "$option" in
    --yes) assume_yes=true ;;
    --list) list_only=true ;;
    *) echo "build-deps.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

os_release="${ORVANE_OS_RELEASE:-/etc/os-release}"
id="" id_like="" codename=""
if [ -r "$os_release" ]; then
  id="$(sed -n 's/^ID=//p' "$os_release" | tr -d '"')"
  id_like="$(sed -n 's/^ID_LIKE=//p' "$os_release" | tr -d '"')"
  codename="$(sed -n 's/^VERSION_CODENAME=//p' "$os_release" | tr -d '"')"
fi
case " $id $id_like " in
  *" debian "*) ;;
  *)
    echo "This installer knows Debian 12, Debian 13, Debian sid and systems built on them; this system" \
      "(${id:-unknown}) is none of them. Install a C++ compiler, CMake, OBS's development files (libobs)" \
      "and the Qt $qt base and WebEngine development files with your system's tools, then run it again." >&2
    exit 1 ;;
esac

packages=(build-essential cmake pkg-config libobs-dev)
case "$qt" in
  5) packages+=(qtbase5-dev qtdeclarative5-dev qtwebengine5-dev) ;;
  6) packages+=(qt6-base-dev qt6-declarative-dev qt6-webengine-dev) ;;
  *) echo "build-deps.sh: Qt $qt? OBS uses Qt 5 or Qt 6." >&2; exit 2 ;;
esac
if $list_only; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$package")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Building the Orvane plug-in needs these packages: ${missing[*]}" >&2
# A Debian installed with a root password has no sudo.
if [ -n "$sudo" ] && ! command -v sudo >/dev/null 2>&1; then
  echo "This system has no sudo: install them as root with  su -c 'apt-get install ${missing[*]}'  then run" \
    "this again." >&2
  exit 1
fi
if ! $assume_yes; then
  if [ ! -t 0 ]; then
    echo "Run this again with --yes to install them${sudo:+ with sudo}, or install them yourself." >&2
    exit 1
  fi
  read -r -p "Install them now${sudo:+ with sudo}? [y/N] " answer
  case "$answer" in [yY]*) ;; *) echo "Nothing installed." >&2; exit 1 ;; esac
fi
$sudo apt-get update -qq
# A system built on Debian may name them otherwise: say so rather than fail half-way.
unknown=()
for package in "${missing[@]}"; do
  apt-cache show "$package" >/dev/null 2>&1 || unknown+=("$package")
done
if [ "${#unknown[@]}" -gt 0 ]; then
  echo "This system (${id} ${codename}) has no package called: ${unknown[*]}. Install their equivalents" \
    "by hand, then run this again." >&2
  exit 1
fi
# sudo resets the environment: the non-interactive mode goes through env.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
