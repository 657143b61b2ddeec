// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RelayHotkeys.h"

#include "core/ModuleText.h"
#include "remote/RemoteRelay.h"

#include <QCoreApplication>
#include <atomic>
#include <obs-frontend-api.h>
#include <obs.hpp>
#include <util/config-file.h>

namespace {
// The names obs-websocket's TriggerHotkeyByName and the profile's [Hotkeys] know them by.
const char *const kRelayOnHotkey = "orvane.relay.on";
const char *const kRelayOffHotkey = "orvane.relay.off";

obs_hotkey_pair_id relayHotkeys = OBS_INVALID_HOTKEY_PAIR_ID;
// Whether the relay is on, as the hotkeys last knew or made it: they fire on other threads than the
// relay's, and a press must tell at once whether it switches.
std::atomic<bool> relayOn{false};

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

// A half of the pair that switched says so, as OBS's own pairs do: libobs then holds the other half back
// until the key's release, so one key bound to both toggles. obs-websocket before 5.5 sends no release
// after TriggerHotkeyByName, which would hold the other half for good: the release follows at once, after
// the other half of the same press has been passed over.
bool switchOnPress(obs_hotkey_t *hotkey, bool pressed, bool on) {
    if (!pressed || relayOn.exchange(on) == on)
        return false;
    switchRelay(on);
    const obs_hotkey_id id = obs_hotkey_get_id(hotkey);
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [id] { obs_hotkey_trigger_routed_callback(id, false); }, Qt::QueuedConnection);
    return true;
}

bool onRelayOnHotkey(void *, obs_hotkey_pair_id, obs_hotkey_t *hotkey, bool pressed) {
    return switchOnPress(hotkey, pressed, true);
}

bool onRelayOffHotkey(void *, obs_hotkey_pair_id, obs_hotkey_t *hotkey, bool pressed) {
    return switchOnPress(hotkey, pressed, false);
}

// The bindings OBS's settings stored in the profile: {"bindings": [...]} under the hotkey's name; none is an
// empty list, which clears what another profile bound (libobs keeps old bindings when given nothing).
obs_data_array_t *storedBindings(config_t *profile, const char *name) {
    const char *json = profile ? config_get_string(profile, "Hotkeys", name) : nullptr;
    OBSDataAutoRelease stored = json ? obs_data_create_from_json(json) : nullptr;
    obs_data_array_t *bindings = stored ? obs_data_get_array(stored, "bindings") : nullptr;
    return bindings ? bindings : obs_data_array_create();
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

void noteRelayStateForHotkeys(bool on) {
    relayOn = on;
}

void unregisterRelayHotkeys() {
    if (relayHotkeys == OBS_INVALID_HOTKEY_PAIR_ID)
        return;
    obs_hotkey_pair_unregister(relayHotkeys);
    relayHotkeys = OBS_INVALID_HOTKEY_PAIR_ID;
}
