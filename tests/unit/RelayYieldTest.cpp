// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <gtest/gtest.h>

namespace {
// Seconds of OBS's stream (2,000 kbit/s) beside a relay set to 2,000 on an uplink of totalKbps, shared in
// proportion; returns the seconds in which OBS's stream was in trouble.
int troubledSeconds(RelayYield &yield, int seconds, int totalKbps) {
    int troubled = 0;
    for (int second = 0; second < seconds; ++second) {
        const int relayKbps = yield.capKbps == 0 ? 2000 : yield.capKbps;
        const int relaySent = relayKbps * std::min(totalKbps, 2000 + relayKbps) / (2000 + relayKbps);
        const bool trouble = 2000 + relayKbps > totalKbps;
        troubled += trouble;
        stepRelayYield(yield, {trouble, std::min(totalKbps, 2000 + relayKbps) - relaySent, 2000, relaySent},
                       2000);
    }
    return troubled;
}
} // namespace

TEST(RelayYield, StaysBelowWhatTroubledObsWhileTheUplinkIsShortAndClimbsBackOnceItIsWide) {
    RelayYield yield;
    // A probe past the troubling rate at most every twelve calm seconds (every third before).
    EXPECT_LE(troubledSeconds(yield, 120, 3000), 120 / 12);
    EXPECT_LE(yield.capKbps, 1000 + 200);
    troubledSeconds(yield, 40, 10000);
    EXPECT_EQ(yield.capKbps, 0) << "back at the setting within 40 s of a wide uplink";
    // Trouble in a second in which the relay (on OBS's encoders) sent little: it still probes at that cap.
    yield = RelayYield();
    EXPECT_EQ(stepRelayYield(yield, {true, 1200, 2000, 2000}, 2000), kRelayYieldFloorKbps)
        << "the first trouble";
    troubledSeconds(yield, 9, 10000);
    const int troubling = yield.capKbps;
    stepRelayYield(yield, {true, 1600, 2000, 150}, 2000);
    troubledSeconds(yield, 17, 10000);
    EXPECT_LE(yield.capKbps, troubling);
    // Trouble going on right after a cut is OBS's stream draining: the rate that caused it is the one
    // remembered.
    yield = RelayYield();
    stepRelayYield(yield, {true, 1400, 2000, 1500}, 1500);
    stepRelayYield(yield, {true, 2200, 2000, 300}, 1500);
    stepRelayYield(yield, {true, 2000, 2000, 1100}, 1500);
    EXPECT_EQ(yield.troubleKbps, 1500);
    // OBS's stream far behind does not wait to see what the last cut does.
    yield = RelayYield();
    stepRelayYield(yield, {true, 1200, 2000, 2000}, 2000);
    troubledSeconds(yield, 9, 10000);
    EXPECT_GT(stepRelayYield(yield, {true, 1900, 2000, 1000}, 2000), kRelayYieldFloorKbps);
    EXPECT_EQ(stepRelayYield(yield, {true, 1500, 2000, 900, true}, 2000), kRelayYieldFloorKbps);
}

TEST(RelayYield, GivesWayToAQueueThatGrowsNotToTheStallOfALostPacket) {
    const auto firstShortLook = [](std::initializer_list<double> congestion) {
        ObsQueueTrend trend;
        int index = 0;
        for (const double c : congestion) {
            if (trend.look(0, c))
                return index;
            ++index;
        }
        return -1;
    };
    // OBS 32 on an uplink of 1.2 times both streams with a modem's queue, 1.1 s after the start.
    EXPECT_EQ(firstShortLook({0, 0.048, 0.286, 0.381, 0.429, 0.333, 0.238, 0.238, 0.095, 0.143, 0.048, 0}),
              -1);
    // An uplink too small for both: OBS's queue grows, with a frame's jitter.
    EXPECT_EQ(firstShortLook({0, 0.048, 0.095, 0.143, 0.095, 0.19, 0.238, 0.19, 0.286}), 6);
}
