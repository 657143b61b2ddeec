// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayYield.h"

#include <algorithm>
#include <utility>

namespace {
constexpr int kTicksBetweenCuts = 2;
constexpr int kCalmTicksPerStep = 3;
// Past the rate that last troubled OBS's stream the uplink is likely still short: a step there waits longer,
// so that OBS's stream is not pushed into trouble every few seconds.
constexpr int kCalmTicksPerProbe = 12;
// Below what is left over, so that OBS's stream can send what queued up meanwhile.
constexpr double kShareOfSpare = 0.8;
constexpr double kLeastCut = 0.85;
// OBS's stream has about 60 ms waiting behind a full socket (two frames at 30 fps) against its default drop
// threshold of 700 ms; one frame waiting could be a keyframe passing.
constexpr double kCongested = 0.09;
// A fifth of the way to OBS's drop threshold: its connection is likely recovering from losses, and its queue
// can grow by half the threshold in the next second.
constexpr double kFarBehind = 0.2;
// Past this (over 400 ms queued) OBS's stream drops frames within a few looks if the queue keeps growing.
constexpr double kAboutToDrop = 0.6;
// A queue that has grown over the last three looks (300 ms) is more than a stall that passes.
constexpr int kGrowthLooks = 3;
} // namespace

bool obsStreamInTrouble(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kCongested;
}

bool obsStreamFarBehind(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kFarBehind;
}

bool ObsQueueTrend::look(int droppedSinceLastLook, double congestion) {
    recent[next] = congestion;
    next = (next + 1) % kLooks;
    filled = std::min(filled + 1, kLooks);
    if (droppedSinceLastLook > 0 || congestion >= kAboutToDrop)
        return true;
    if (filled < kLooks || std::any_of(recent.begin(), recent.end(), [](double c) { return c < kCongested; }))
        return false;
    return congestion >= recent[(next - 1 - kGrowthLooks + kLooks) % kLooks];
}

int stepRelayYield(RelayYield &yield, const UplinkSecond &second, int bitrate) {
    ++yield.ticksSinceCut;
    const bool troubledLastTick = std::exchange(yield.troubledLastTick, second.obsInTrouble);
    if (second.obsInTrouble) {
        yield.calmTicks = 0;
        // OBS's stream close to dropping frames has no time to show what a smaller cut does.
        if (yield.capKbps != 0 && yield.ticksSinceCut < kTicksBetweenCuts && !second.obsFarBehind)
            return yield.capKbps;
        // The uplink is full: what both sent is what it carries, and OBS's stream needs its share first.
        const int current = yield.capKbps != 0
                                ? std::min(yield.capKbps, std::max(second.relayKbps, 1))
                                : std::min(bitrate, second.relayKbps > 0 ? second.relayKbps : bitrate);
        const int spare = second.obsKbps + second.relayKbps - second.obsNeedKbps;
        int cap = int(current * kLeastCut);
        // The first trouble, too: by the time it shows, OBS's connection has lost packets and needs all the
        // room it can get to catch up; the relay climbs back from the floor once it is calm.
        if (second.obsFarBehind || yield.capKbps == 0)
            cap = kRelayYieldFloorKbps;
        else if (second.obsNeedKbps > 0 && second.obsKbps > 0)
            cap = std::min(cap, int(spare * kShareOfSpare));
        // The allowed rate, not what one second showed: a relay on OBS's encoders sends in bursts. Trouble
        // that goes on right after a cut is OBS's stream draining what queued up: the rate that caused it
        // stays.
        if (!troubledLastTick || yield.capKbps == 0)
            yield.troubleKbps = yield.capKbps != 0 ? yield.capKbps : bitrate;
        yield.capKbps = std::max(kRelayYieldFloorKbps, cap);
        yield.ticksSinceCut = 0;
        return yield.capKbps;
    }
    if (yield.capKbps == 0)
        return 0;
    ++yield.calmTicks;
    // A step to the troubling rate that stayed calm: the uplink carries more now.
    if (yield.capKbps >= yield.troubleKbps && yield.calmTicks >= kCalmTicksPerStep)
        yield.troubleKbps = 0;
    const int step = std::max(100, bitrate / 10);
    const bool probe = yield.troubleKbps != 0 && yield.capKbps + step >= yield.troubleKbps;
    if (yield.calmTicks < (probe ? kCalmTicksPerProbe : kCalmTicksPerStep))
        return yield.capKbps;
    // Climbs back a tenth of the setting at a time: from the floor to the setting within about half a minute
    // once the uplink is wide again.
    yield.calmTicks = 0;
    yield.capKbps += step;
    if (yield.capKbps >= bitrate)
        yield.capKbps = 0;
    return yield.capKbps;
}
