// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <gtest/gtest.h>

// On a full uplink the relay falls below what is left over at once, never below its floor, waits for a cut
// to show before the next, and climbs back to the streamer's bitrate once OBS's stream is calm.
TEST(RelayYield, FallsToTheSpareAndClimbsBackWhenCalm) {
    RelayYield yield;
    const UplinkSecond calm{false, 2000, 2200, 1500};
    EXPECT_EQ(stepRelayYield(yield, calm, 1500), 0);

    // 3,000 kbit/s carried, OBS's stream needs 2,200: 800 left over.
    const UplinkSecond full{true, 1500, 2200, 1500};
    EXPECT_EQ(stepRelayYield(yield, full, 1500), 640);
    EXPECT_EQ(stepRelayYield(yield, full, 1500), 640) << "a cut shows in OBS's stream a while later";
    EXPECT_EQ(stepRelayYield(yield, {true, 1700, 2200, 600}, 1500), kRelayYieldFloorKbps);

    int seconds = 0;
    while (stepRelayYield(yield, calm, 1500) != 0 && seconds < 60)
        ++seconds;
    EXPECT_LT(seconds, 40);
    EXPECT_TRUE(obsStreamInTrouble(1, 0.0));
    EXPECT_TRUE(obsStreamInTrouble(0, 0.2));
    EXPECT_FALSE(obsStreamInTrouble(0, 0.05));
}
