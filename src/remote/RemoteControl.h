// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Remote control of the relay for Stream Deck, Companion and scripts: obs-websocket's vendor "orvane"
// (requests GetStatus and SetRelay, event RelayStatusChanged) and OBS hotkeys. Main thread.

// Once OBS has loaded every module and its front-end is up; signedIn tells whether Orvane is signed in.
void startRemoteControl(bool (*signedIn)());
// At OBS's exit: nothing reaches obs-websocket or the relay from here on.
void stopRemoteControl();
// Once a second: what a request that may not wait for the main thread answers stays current.
void remoteControlOnTick();
// The profile changed: its hotkey bindings apply.
void remoteControlOnProfileChange();
