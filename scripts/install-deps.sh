#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the test lab on Debian 12 (the packages the tests, benchmarks and the demo need beyond building),
# only those that are missing, after the build packages for both Qt flavours. For developers and CI; a
# streamer's install needs only scripts/build-deps.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
for qt in 5 6; do
  "$root/scripts/build-deps.sh" "$qt" --yes >&2
done

packages=(
  build-essential cmake pkg-config clang-format clang libclang-rt-14-dev
  obs-studio libobs-dev qtbase5-dev qt6-base-dev libx11-dev
  libgtest-dev
  xvfb xauth python3
  nginx libnginx-mod-rtmp curl ffmpeg
  # Network weather in a namespace of the test's own: a shared uplink (tc) and holes (nft).
  iproute2 nftables
  # A name server of the tests' own, for a network that takes its name server along.
  dnsmasq-base
  # Roots of Debian 13 and sid with their own OBS (scripts/debian-root.sh).
  debootstrap
  chromium x11-apps
  # The Debian package is built with Debian's own tools and checked by lintian.
  debhelper lintian
  # Reads the module's words off the screen in another language.
  tesseract-ocr tesseract-ocr-deu
  # The benchmarks: load from a second process, and instruction counts.
  wrk valgrind
  # Ordinary sessions ended many times on a machine kept busy (bench/exits.py), their crashes read from cores.
  stress-ng gdb
  qtwebengine5-dev qt6-webengine-dev
  # What the relocatable OBS 30 tree (ORVANE_OBS_HOSTS) needs at run time.
  libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6svg6 libqt6xml6 libqt6dbus6 qt6-qpa-plugins
  libavcodec59 libavdevice59 libavformat59 libavutil57 libswresample4 libswscale6 libcurl4 libjansson4
  libmbedtls14 libmbedx509-1 libmbedcrypto7 libx264-164 libpci3 libva2 libva-drm2 libpulse0 libspeexdsp1
  libfreetype6 libfontconfig1 libglib2.0-0 libuuid1 libegl1 libwayland-client0 libwayland-egl1
  libxkbcommon0 libx11-6 libx11-xcb1 libxcb1 libxcb-composite0 libxcb-randr0 libxcb-shm0 libxcb-xfixes0
  libxcb-xinerama0 libegl-mesa0 libgl1-mesa-dri
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done

# Node.js drives the browser tests; any packaged build will do.
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
