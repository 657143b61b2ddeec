// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "relay/RelayLink.h"

#include <memory>
#include <obs.hpp>

// A pipeline the relay no longer uses, stopped and released on OBS's main thread. Nothing here waits on the
// network: the relay's connection is the module's own, and cutting it first wakes whatever libobs's threads
// wait on, so libobs's stop and release return at once.
struct RetiredRelay {
    OBSOutputAutoRelease output;
    OBSServiceAutoRelease service;
    OBSEncoderAutoRelease videoEncoder;
    OBSEncoderAutoRelease audioEncoder;
    std::shared_ptr<RelayLink> link; // released after the output: its signals may still be running
    bool graceful = true;            // a stream that is sending ends cleanly at its server first
};

// Stops and releases a retired pipeline: at once, or, for a graceful end of a stream that is sending, once
// libobs has ended it at its server (3 seconds at most).
void retireRelay(RetiredRelay retired);

// Cuts and releases every retired pipeline now; at exit.
void finishRetiredRelays();

// Whether no retired pipeline is left.
bool retiredRelaysReleased();
