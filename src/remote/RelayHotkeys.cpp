// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RelayHotkeys.h"

#include "core/ModuleText.h"
#include "remote/RemoteRelay.h"

#include <QCoreApplication>
#include <obs-frontend-api.h>
#include <obs.hpp>
#include <util/config-file.h>

namespace {
// The names obs-websocket's TriggerHotkeyByName and the profile's [Hotkeys] know them by.
const char *const kRelayOnHotkey = "orvane.relay.on";
const char *const kRelayOffHotkey = "orvane.relay.off";

obs_hotkey_pair_id relayHotkeys = OBS_INVALID_HOTKEY_PAIR_ID;

// Hotkeys fire on OBS's main thread, and on obs-websocket's for TriggerHotkeyByName: the switch waits for
// the main thread's next turn, and is dropped once OBS is closing.
void switchRelay(bool on) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app,
            [on] {
                if (relayHotkeys != OBS_INVALID_HOTKEY_PAIR_ID)
                    changeRelayFromRemote({{QStringLiteral("enabled"), on}});
            },
            Qt::QueuedConnection);
}

// Never "handled": a handled press latches the pair until that key's release, and TriggerHotkeyByName sends
// no release, so the other key would stay dead.
bool onRelayOnHotkey(void *, obs_hotkey_pair_id, obs_hotkey_t *, bool pressed) {
    if (pressed)
        switchRelay(true);
    return false;
}

bool onRelayOffHotkey(void *, obs_hotkey_pair_id, obs_hotkey_t *, bool pressed) {
    if (pressed)
        switchRelay(false);
    return false;
}

// The bindings OBS's settings stored in the profile: {"bindings": [...]} under the hotkey's name.
obs_data_array_t *storedBindings(config_t *profile, const char *name) {
    const char *json = profile ? config_get_string(profile, "Hotkeys", name) : nullptr;
    if (!json)
        return nullptr;
    OBSDataAutoRelease stored = obs_data_create_from_json(json);
    return stored ? obs_data_get_array(stored, "bindings") : nullptr;
}
} // namespace

void registerRelayHotkeys() {
    if (relayHotkeys != OBS_INVALID_HOTKEY_PAIR_ID)
        return;
    relayHotkeys =
        obs_hotkey_pair_register_frontend(kRelayOnHotkey, moduleText("Hotkey.RelayOn").toUtf8().constData(),
                                          kRelayOffHotkey, moduleText("Hotkey.RelayOff").toUtf8().constData(),
                                          onRelayOnHotkey, onRelayOffHotkey, nullptr, nullptr);
    loadRelayHotkeyBindings();
}

void loadRelayHotkeyBindings() {
    if (relayHotkeys == OBS_INVALID_HOTKEY_PAIR_ID)
        return;
    config_t *profile = obs_frontend_get_profile_config();
    OBSDataArrayAutoRelease on = storedBindings(profile, kRelayOnHotkey);
    OBSDataArrayAutoRelease off = storedBindings(profile, kRelayOffHotkey);
    obs_hotkey_pair_load(relayHotkeys, on, off);
}

void unregisterRelayHotkeys() {
    if (relayHotkeys == OBS_INVALID_HOTKEY_PAIR_ID)
        return;
    obs_hotkey_pair_unregister(relayHotkeys);
    relayHotkeys = OBS_INVALID_HOTKEY_PAIR_ID;
}
