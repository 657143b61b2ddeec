#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Orvane dock for the current user into any OBS on Linux, built for the Qt of the installed
# OBS:  ~/.config/obs-studio/plugins/orvane/
#   scripts/install.sh               build and install (or update)
#   scripts/install.sh --uninstall   remove the plug-in
#   scripts/install.sh --purge       remove the plug-in and the module's settings (they hold the sign-in)
#   scripts/install.sh --qt N        build for Qt N; refused when the installed OBS uses another Qt
#   scripts/install.sh --yes         install the build packages it needs without asking
# It installs only what building needs (scripts/build-deps.sh), and asks before it does.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
obs_config="${XDG_CONFIG_HOME:-$HOME/.config}/obs-studio"
plugin="$obs_config/plugins/orvane"
settings="$obs_config/plugin_config/orvane"

action=install
qt=""
yes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --uninstall) action=uninstall ;;
    --purge) action=purge ;;
    --qt) qt="${2:?--qt needs 5 or 6}"; shift ;;
    --yes) yes=(--yes) ;;
    *) echo "install.sh: unknown option $1 (see the top of this script)" >&2; exit 2 ;;
  esac
  shift
done

# Only this user's OBS: other accounts may run theirs.
if pgrep -u "$(id -u)" -x obs >/dev/null 2>&1; then
  echo "OBS is running. Close OBS first, then run this again." >&2
  exit 1
fi

case "$action" in
  uninstall|purge)
    rm -rf "$plugin"
    echo "Removed the Orvane plug-in from $plugin."
    if [ "$action" = purge ]; then
      echo "Removing the Orvane settings in $settings: this signs you out of Orvane in OBS."
      rm -rf "$settings"
    fi
    exit 0 ;;
esac

obs_program="$(command -v obs || true)"
[ -n "$obs_program" ] || { echo "No OBS found (no 'obs' on PATH). Install OBS Studio first." >&2; exit 1; }
obs_qt="$(ldd "$obs_program" | sed -n 's/.*libQt\([56]\)Core.*/\1/p' | head -n 1)"
[ -n "$obs_qt" ] || { echo "Can't tell which Qt $obs_program uses." >&2; exit 1; }
if [ -n "$qt" ] && [ "$qt" != "$obs_qt" ]; then
  echo "The installed OBS uses Qt $obs_qt; a plug-in built for Qt $qt would not load in it. Refused." >&2
  exit 1
fi

"$root/scripts/build-deps.sh" "$obs_qt" ${yes[@]+"${yes[@]}"}
dir="$root/build/install-qt$obs_qt"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVANE_QT_MAJOR="$obs_qt" -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_INSTALL_LAYOUT=user >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
rm -rf "$plugin"
cmake --install "$dir" --prefix "$obs_config/plugins" --strip >/dev/null
echo "Installed the Orvane dock into $plugin. Start OBS; the dock is called Orvane."
