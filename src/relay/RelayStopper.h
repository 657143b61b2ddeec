// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "relay/RelayLink.h"

#include <chrono>
#include <memory>
#include <obs.hpp>

// A pipeline the relay no longer uses. Stopping and releasing an output joins its threads, which can wait
// on the network for half a minute: that never happens on OBS's main thread.
struct RetiredRelay {
    OBSOutputAutoRelease output;
    OBSServiceAutoRelease service;
    OBSEncoderAutoRelease videoEncoder;
    OBSEncoderAutoRelease audioEncoder;
    std::shared_ptr<RelayLink> link; // released after the output: its signals may still be running
    bool started = false;            // the output was started since it was built
    bool graceful = true;            // a sending stream ends cleanly at its server first
};

// Hands a retired pipeline to the relay's stopping thread, which stops it and releases it.
void retireRelay(RetiredRelay retired);

// Wakes what a retired relay's stop has waited on for a while: the connection the relay took, and any
// socket that a thread the stop joins is blocked on. Called every tick.
bool cutStalledRelayStops(); // whether it cut

// Waits until every retired pipeline is released, cutting what holds them; at exit. After a minute it gives
// up and leaves what the stop still holds to libobs's shutdown. Returns whether a connection had to be cut.
bool finishRetiredRelays(std::chrono::milliseconds giveUpAfter = std::chrono::minutes(1));

// Whether the stopping thread has nothing left to do.
bool retiredRelaysReleased();
