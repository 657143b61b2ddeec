#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Prepares a scratch HOME in which OBS starts without its first-run wizard, with the module built in
# BUILD_DIR installed as a per-user plug-in (none when BUILD_DIR is empty).
# Usage: obs-home.sh HOME_DIR BUILD_DIR [LAST_VERSION]
# LAST_VERSION is the OBS version as OBS stores it ((major << 24) | (minor << 16) | patch); it defaults
# to Debian's OBS 29.0.2.
set -euo pipefail
home="$1"
build="$2"
last_version="${3:-486539266}"
obs_config="$home/.config/obs-studio"

[ -z "$build" ] || cmake --install "$build" --prefix "$obs_config/plugins" >/dev/null

mkdir -p "$obs_config/basic/scenes" "$obs_config/basic/profiles/Untitled"
# OBS 31 and later read these from user.ini, earlier ones from global.ini: both get them.
for ini in global.ini user.ini; do
  if [ ! -f "$obs_config/$ini" ]; then
    cat > "$obs_config/$ini" <<INI
[General]
FirstRun=true
LastVersion=$last_version
ConfirmOnExit=false

[Basic]
Profile=Untitled
ProfileDir=Untitled
SceneCollection=Untitled
SceneCollectionFile=Untitled
INI
  fi
done
# OBS 32 takes a pre-made profile folder only with a named profile in it (else it makes Untitled2).
if [ ! -f "$obs_config/basic/profiles/Untitled/basic.ini" ]; then
  printf '[General]\nName=Untitled\n' > "$obs_config/basic/profiles/Untitled/basic.ini"
fi
# OBS ignores --startstreaming until a scene collection exists.
if [ ! -f "$obs_config/basic/scenes/Untitled.json" ]; then
  cat > "$obs_config/basic/scenes/Untitled.json" <<'JSON'
{"current_scene": "Scene", "current_program_scene": "Scene", "name": "Untitled",
 "scene_order": [{"name": "Scene"}],
 "sources": [{"id": "scene", "versioned_id": "scene", "name": "Scene",
              "settings": {"id_counter": 0, "custom_size": false, "items": []}}]}
JSON
fi
