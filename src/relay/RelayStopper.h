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

// Keeps the link's startInFlight as the output's "stop" signals say, until the pipeline is released.
void watchRelayOutputStops(obs_output_t *output, RelayLink *link);

// Stops a retired pipeline (a stream that is sending ends cleanly at its server first, 3 seconds at most) and
// releases it once libobs has wound its output down, which takes moments once its connection is cut.
void retireRelay(RetiredRelay retired);

// Cuts every retired pipeline and releases it once wound down (2 seconds at most); at exit.
void finishRetiredRelays();

// Whether no retired pipeline is left.
bool retiredRelaysReleased();
