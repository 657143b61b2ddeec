#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format clang libclang-rt-14-dev
  obs-studio libobs-dev qtbase5-dev qt6-base-dev libx11-dev
  libgtest-dev
  xvfb xauth python3
  nginx libnginx-mod-rtmp curl
  chromium
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
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
