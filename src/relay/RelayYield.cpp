// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <algorithm>

namespace {
constexpr int kTicksBetweenCuts = 3;
constexpr int kCalmTicksPerStep = 3;
constexpr double kCut = 0.7;
constexpr double kCongested = 0.1;
} // namespace

bool obsStreamInTrouble(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kCongested;
}

int stepRelayYield(RelayYield &yield, bool obsInTrouble, int relayKbps, int bitrate) {
    ++yield.ticksSinceCut;
    if (obsInTrouble) {
        yield.calmTicks = 0;
        if (yield.capKbps != 0 && yield.ticksSinceCut < kTicksBetweenCuts)
            return yield.capKbps;
        // From what the relay really sent, when it sent less than it may.
        int from = yield.capKbps != 0 ? yield.capKbps : bitrate;
        if (relayKbps > 0)
            from = std::min(from, relayKbps);
        yield.capKbps = std::max(kRelayYieldFloorKbps, int(from * kCut));
        yield.ticksSinceCut = 0;
        return yield.capKbps;
    }
    if (yield.capKbps == 0 || ++yield.calmTicks < kCalmTicksPerStep)
        return yield.capKbps;
    // Climbs back a tenth of the setting at a time: from the floor to the setting within half a minute.
    yield.calmTicks = 0;
    yield.capKbps += std::max(100, bitrate / 10);
    if (yield.capKbps >= bitrate)
        yield.capKbps = 0;
    return yield.capKbps;
}
