// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <algorithm>

namespace {
constexpr int kTicksBetweenCuts = 2;
constexpr int kCalmTicksPerStep = 3;
// Below what is left over, so that OBS's stream can send what queued up meanwhile.
constexpr double kShareOfSpare = 0.8;
constexpr double kLeastCut = 0.85;
constexpr double kCongested = 0.1;
} // namespace

bool obsStreamInTrouble(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kCongested;
}

int stepRelayYield(RelayYield &yield, const UplinkSecond &second, int bitrate) {
    ++yield.ticksSinceCut;
    if (second.obsInTrouble) {
        yield.calmTicks = 0;
        if (yield.capKbps != 0 && yield.ticksSinceCut < kTicksBetweenCuts)
            return yield.capKbps;
        // The uplink is full: what both sent is what it carries, and OBS's stream needs its share first.
        const int current = yield.capKbps != 0
                                ? std::min(yield.capKbps, std::max(second.relayKbps, 1))
                                : std::min(bitrate, second.relayKbps > 0 ? second.relayKbps : bitrate);
        const int spare = second.obsKbps + second.relayKbps - second.obsNeedKbps;
        int cap = int(current * kLeastCut);
        if (second.obsNeedKbps > 0 && second.obsKbps > 0)
            cap = std::min(cap, int(spare * kShareOfSpare));
        yield.capKbps = std::max(kRelayYieldFloorKbps, cap);
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
