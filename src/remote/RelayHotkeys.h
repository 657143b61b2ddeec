// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The hotkey pair "Orvane relay on" / "Orvane relay off" in OBS's Settings > Hotkeys. OBS's settings save
// their bindings into the profile, as for OBS's own hotkeys; the module loads them from there.
inline constexpr const char *kRelayOnHotkey = "orvane.relay.on";
inline constexpr const char *kRelayOffHotkey = "orvane.relay.off";

void registerRelayHotkeys();
void loadRelayHotkeyBindings();
void unregisterRelayHotkeys();
