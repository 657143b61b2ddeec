// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>
#include <obs.h>

// A libobs output of the test host's own ("orvane_test_output"): it takes raw program video, sends
// nowhere, and reports the byte count and congestion the test sets. Registered on first use.
obs_output_t *createTestOutput();
void setTestOutputBytes(uint64_t bytes);
void setTestOutputCongestion(float congestion);
