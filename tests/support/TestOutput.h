// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>
#include <obs.h>

// A libobs output of the test host's own ("orvane_test_output"): it takes raw program video, sends
// nowhere, and reports the byte count and congestion the test sets. Registered on first use.
obs_output_t *createTestOutput();
void setTestOutputBytes(uint64_t bytes);
void setTestOutputCongestion(float congestion);
// While held, a stop of one of these outputs waits inside libobs's stop until it is let go.
void holdTestOutputStops(bool held);
int testOutputsDestroyed();
