// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The hotkey pair "Orvane relay on" / "Orvane relay off" in OBS's Settings > Hotkeys. OBS's settings save
// their bindings into the profile, as for OBS's own hotkeys; the module loads them from there.
void registerRelayHotkeys();
void loadRelayHotkeyBindings();
void unregisterRelayHotkeys();
// What the relay is now, after a change from anywhere: a press switches only what differs.
void noteRelayStateForHotkeys(bool on);
