// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <gtest/gtest.h>

namespace {
// Seconds of OBS's stream (2,000 kbit/s needed) beside a relay set to 2,000, on an uplink that carries total.
int runSeconds(RelayYield &yield, int seconds, int totalKbps, int *troubledSeconds = nullptr) {
    for (int second = 0; second < seconds; ++second) {
        const int relayKbps = yield.capKbps == 0 ? 2000 : yield.capKbps;
        const bool trouble = 2000 + relayKbps > totalKbps;
        if (trouble && troubledSeconds)
            ++*troubledSeconds;
        const int sent = std::min(totalKbps, 2000 + relayKbps);
        stepRelayYield(yield,
                       {trouble, sent - relayKbps * sent / (2000 + relayKbps), 2000,
                        relayKbps * sent / (2000 + relayKbps)},
                       2000);
    }
    return yield.capKbps;
}
} // namespace

TEST(RelayYield, StaysBelowWhatTroubledObsWhileTheUplinkIsShortAndClimbsBackOnceItIsWide) {
    RelayYield yield;
    int troubled = 0;
    // Over two minutes on an uplink with 1,000 kbit/s to spare the relay stays near that, and OBS's stream is
    // troubled at most one second in twelve, when a probe shows the uplink still short.
    runSeconds(yield, 120, 3000, &troubled);
    EXPECT_GE(yield.capKbps, kRelayYieldFloorKbps);
    EXPECT_LE(yield.capKbps, 1000 + 200);
    EXPECT_LE(troubled, 120 / 12);

    // Wide again: back at the setting within 40 s.
    EXPECT_EQ(runSeconds(yield, 40, 10000), 0);
}
