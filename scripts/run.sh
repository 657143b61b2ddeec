#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs OBS with the module on local defaults: builds it, installs it into a scratch OBS configuration
# (.scratch/obs-home), starts OBS (under Xvfb when there is no display) and prints the dock page URL.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/install-deps.sh"
build="$("$root/scripts/build.sh" qt5-obs29 | tail -n 1)"
home="$root/.scratch/obs-home"
mkdir -p "$root/.scratch"
"$root/scripts/obs-home.sh" "$home" "$build"

# The development cloud serves the dock page and the sign-in flow (tools/local-cloud).
port_file="$root/.scratch/cloud.port"
rm -f "$port_file"
python3 "$root/tools/local-cloud/orvane_local_cloud.py" --port "${ORVANE_LOCAL_CLOUD_PORT:-0}" \
  --port-file "$port_file" >"$root/.scratch/cloud.log" 2>&1 &
cloud_pid=$!
trap 'kill "$cloud_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do [ -s "$port_file" ] && break; sleep 0.1; done
[ -s "$port_file" ] || { echo "The local cloud did not start; see .scratch/cloud.log" >&2; exit 1; }
export ORVANE_CLOUD_URL="${ORVANE_CLOUD_URL:-http://127.0.0.1:$(cat "$port_file")}"
echo "Local cloud: $ORVANE_CLOUD_URL"

log="$root/.scratch/obs.log"
: >"$log"
launcher=()
[ -n "${DISPLAY:-}" ] || launcher=(xvfb-run -a -s "-screen 0 1280x800x24")

# Prints the dock URL once the module reports its port.
(
  for _ in $(seq 1 90); do
    port="$(grep -m1 -o 'Orvane dock on 127.0.0.1:[0-9]*' "$log" 2>/dev/null | sed 's/.*://' || true)"
    if [ -n "$port" ]; then
      echo "Dock page: http://127.0.0.1:$port/   (OBS is running; Ctrl+C stops it)"
      exit 0
    fi
    sleep 1
  done
  echo "The module did not report its port; see $log" >&2
) &
watcher=$!

echo "Starting OBS (log: $log) ..."
status=0
HOME="$home" "${launcher[@]}" obs --disable-updater --multi >"$log" 2>&1 || status=$?
kill "$watcher" 2>/dev/null || true
exit "$status"
