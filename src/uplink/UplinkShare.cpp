// SPDX-License-Identifier: GPL-2.0-or-later
#include "uplink/UplinkShare.h"

#include <algorithm>

namespace {
// A cut takes a second or two to show in OBS's stream.
constexpr int kTicksBetweenCuts = 2;
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
// A queue that stands a whole second on the relay's path: the uplink is full. Far below what a modem
// buffers before it loses packets (a 64 KiB queue is 170 ms at 3 Mbit/s), so the relay finds the edge
// before OBS's stream loses anything. A modem's queue with room to spare stood at 5 to 7 ms at 4.6 Mbit/s in
// OBS 29 and at 7 to 11 ms, single seconds up to 18, at 3 Mbit/s in OBS 30.2.3; full at 3 Mbit/s it stood at
// 25 to 37 ms.
constexpr int kStandingQueueMs = 20;
// While OBS's stream is in trouble, the queue on a full uplink whose modem loses packets rises and falls with
// TCP's backing off: its least in a second stood at 12 to 16 ms at 2.4 Mbit/s in OBS 29. A path of its own
// shows none.
constexpr int kSharedQueueMs = 10;
// A queue that stands this many seconds in a row after a step up: the step was one too many (a single second
// is a burst). One that stands longer than the last step's queue takes to drain at a rate that fitted: the
// uplink narrowed. One this deep is cut harder.
constexpr int kQueueTicksAfterStep = 2;
constexpr int kQueueTicksToStepDown = 5;
constexpr int kDeepQueueMs = 80;
// A rate held this long with no queue fits.
constexpr int kClearTicksToFit = 2;
// A queue this short stands on a path with room well beyond what the relay sends: the rate that last made a
// queue is past.
constexpr int kEmptyQueueMs = 4;
constexpr int kEmptyTicksToForgetCeiling = 4;
// Its own x264 makes 95 % of the cap, less its audio, on a busy picture; 55 to 65 % on an empty one.
constexpr double kSendsItsCap = 0.4;
// Seconds between steps up while the uplink has room, and between probes just past the rate that last made
// a queue: the uplink may have widened since.
constexpr int kClimbTicks = 2;
constexpr int kProbeTicks = 8;
// Trouble at the floor this long while the queue stands: even the floor does not fit. A cellular uplink dips
// under it for a second or three at a time: the brake holds the relay to a trickle meanwhile, which keeps its
// connection, and stepping aside at once would make each dip a reconnect its viewers see.
constexpr int kTroubleAtFloorTicks = 5;
// How long OBS's stream must be calm before the relay tries again: at first, and at most after returns
// that failed.
constexpr int kFirstAsideWaitTicks = 5;
constexpr int kLongestAsideWaitTicks = 20;
// A return that ends aside again within this long failed.
constexpr int kFailedReturnTicks = 20;
// Where the relay's queue is not known: seconds at the floor with OBS still in trouble, after which OBS's
// trouble is taken to be its own path's for a minute.
constexpr int kHelplessTicks = 8;
constexpr int kDeafTicks = 60;
// What the brake holds the relay to at its floor: a trickle that keeps its connection.
constexpr int kTrickleKbps = 16;
// A rate that held clear is where a path found empty again returns to, in a few big steps rather than from
// the floor a tenth at a time; after this many seconds clear at other rates it is forgotten for the next one
// that holds. Seconds aside or in a dip do not count: a cellular uplink's holes say nothing of its room
// between them, and a return that forgot it climbed back from the floor for half a minute.
constexpr int kHeldRateTicks = 30;

int climbStep(int settingKbps) {
    return std::max(100, settingKbps / 10);
}

int fineStep(int settingKbps) {
    return std::max(50, climbStep(settingKbps) / 4);
}

void setCap(UplinkShare &share, int capKbps) {
    if (capKbps != share.capKbps)
        share.ticksAtRate = share.queueTicks = 0;
    share.capKbps = capKbps;
}

void atSetting(UplinkShare &share) {
    setCap(share, 0);
    share.fitKbps = share.ceilingKbps = 0;
    share.climbingFromFloor = false;
}

// The uplink is full and OBS's stream in trouble: what both sent is what it carries, and OBS's stream needs
// its share first.
void cut(UplinkShare &share, const UplinkSecond &second, int settingKbps) {
    const int current = share.capKbps != 0 ? share.capKbps : settingKbps;
    int next = int(current * kLeastCut);
    // The first trouble, or OBS's stream about to drop frames: by then OBS's connection has lost packets and
    // needs all the room it can get to catch up; the relay climbs back from the floor while its path is
    // clear.
    if (second.obsFarBehind || share.capKbps == 0)
        next = kRelayYieldFloorKbps;
    else if (second.obsNeedKbps > 0 && second.obsKbps > 0)
        next = std::min(next, int((second.obsKbps + second.relayKbps - second.obsNeedKbps) * kShareOfSpare));
    if (share.ceilingKbps == 0 || current < share.ceilingKbps)
        share.ceilingKbps = current;
    share.fitKbps = 0;
    share.clearTicks = 0;
    share.climbingFromFloor = false;
    setCap(share, std::max(kRelayYieldFloorKbps, next));
    share.ticksAtRate = 0;
}

void stepAside(UplinkShare &share) {
    share.aside = true;
    share.clearTicks = share.troubleAtFloorTicks = 0;
    share.asideWaitTicks = share.ticksSinceReturn < kFailedReturnTicks && share.asideWaitTicks != 0
                               ? std::min(share.asideWaitTicks * 2, kLongestAsideWaitTicks)
                               : kFirstAsideWaitTicks;
}

void whileAside(UplinkShare &share, const UplinkSecond &second, int settingKbps) {
    share.clearTicks = second.obsInTrouble ? 0 : share.clearTicks + 1;
    if (share.clearTicks < share.asideWaitTicks)
        return;
    share.aside = false;
    share.clearTicks = 0;
    // The floor is all that is known to fit, if it does: the relay climbs from it a little at a time until
    // it has passed a whole step above it with its path clear (an uplink that widened meanwhile). A path
    // nearly empty at the floor says nothing: a full uplink that the relay's floor just fits shows none.
    share.fitKbps = 0;
    share.ceilingKbps = kRelayYieldFloorKbps + climbStep(settingKbps);
    share.ticksSinceReturn = 0;
    share.climbingFromFloor = true;
    setCap(share, kRelayYieldFloorKbps);
    share.ticksAtRate = 0;
}

// No queue on the relay's path: the rate fits; climb while the uplink has room.
void climb(UplinkShare &share, const UplinkSecond &second, int settingKbps) {
    ++share.clearTicks;
    ++share.ticksSinceHeld;
    const int queueMs = second.relayQueueMs;
    share.emptyTicks = queueMs >= 0 && queueMs <= kEmptyQueueMs ? share.emptyTicks + 1 : 0;
    const bool returning = share.climbingFromFloor;
    if (share.emptyTicks >= kEmptyTicksToForgetCeiling && !returning)
        share.ceilingKbps = 0;
    // A clear path says nothing of a rate the relay did not send: while its encoder makes far less than the
    // cap (a still picture), only a path with hardly any queue shows room beyond it.
    if (second.relayKbps < share.capKbps * kSendsItsCap && share.emptyTicks < kClimbTicks)
        return;
    // A second at a rate with hardly any queue (the climb's step a second) proves it as well as two clear
    // ones.
    if (share.clearTicks >= kClearTicksToFit &&
        (share.ticksAtRate >= kClearTicksToFit || share.emptyTicks >= kClimbTicks)) {
        share.fitKbps = std::max(share.fitKbps, share.capKbps);
        if (share.ticksSinceHeld > kHeldRateTicks || share.capKbps > share.heldKbps) {
            share.heldKbps = share.capKbps;
            share.ticksSinceHeld = 0;
        }
        // Clear a while past the rate that made a queue: the uplink has widened. Climbing from the floor
        // after a return, past its first step with hardly a queue: the uplink has room beyond it.
        if (share.ceilingKbps != 0 && share.capKbps > share.ceilingKbps &&
            (returning ? queueMs < kSharedQueueMs : share.ticksAtRate >= kProbeTicks / 2)) {
            share.ceilingKbps = 0;
            share.climbingFromFloor = false;
        }
    }
    // After a return, a queue that rises with each step up is an uplink about full: the relay holds.
    if (returning && queueMs >= kSharedQueueMs)
        return;
    // Far below the rate that made a queue, a tenth of the setting at a time; within a step of it, a little
    // at a time and seldom: the rate that fits is near.
    const int step = climbStep(settingKbps);
    int next = share.capKbps;
    // A path found empty again after a dip: back towards the rate that held before it, half the way a second.
    if (share.heldKbps > share.capKbps + step && queueMs >= 0 && queueMs <= kEmptyQueueMs &&
        share.ticksAtRate >= 1) {
        next = share.capKbps + std::max(step, (share.heldKbps - share.capKbps) / 2);
        share.ceilingKbps = 0;
        share.climbingFromFloor = false;
    } else if (share.ceilingKbps == 0 || share.capKbps + step < share.ceilingKbps) {
        // A path with hardly any queue has room well beyond the next step: a step every second.
        if (share.ticksAtRate >= (share.emptyTicks >= kClimbTicks ? 1 : kClimbTicks))
            next = share.capKbps + step;
    } else if (share.ticksAtRate >= (returning ? kClimbTicks : kProbeTicks)) {
        next = share.capKbps + fineStep(settingKbps);
    }
    if (next >= settingKbps)
        atSetting(share);
    else
        setCap(share, next);
}
} // namespace

int relayBrakePaceKbps(bool obsShort, bool obsFarBehind, int queueMs, int capKbps) {
    const bool atFloor = capKbps != 0 && capKbps <= kRelayYieldFloorKbps;
    // A queue this deep on the relay's path: the uplink has dipped well under what it sends. OBS's stream
    // shows it a second or two later (its socket's buffer takes the first of it), and by then the queue
    // that both share takes as long to drain.
    if (queueMs >= kDeepQueueMs)
        return atFloor ? kTrickleKbps : kRelayYieldFloorKbps;
    // While the relay already yields, the tick's own cuts are enough unless OBS's stream is far behind.
    if (!(capKbps == 0 ? obsShort : obsFarBehind))
        return 0;
    // A clear path: OBS's trouble is its own path's.
    if (queueMs >= 0 && !uplinkQueueShared(queueMs))
        return 0;
    // Given way also where the socket can't be paced. At its floor already, or with OBS's stream far behind,
    // the relay holds its socket to a trickle until the tick steps it aside or the dip passes: its output
    // keeps 2.5 s of frames meanwhile.
    return atFloor || obsFarBehind ? kTrickleKbps : kRelayYieldFloorKbps;
}

bool obsStreamInTrouble(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kCongested;
}

bool obsStreamFarBehind(int droppedSinceLastTick, double congestion) {
    return droppedSinceLastTick > 0 || congestion >= kFarBehind;
}

bool uplinkQueueStands(int queueMs) {
    return queueMs >= kStandingQueueMs;
}

bool uplinkQueueShared(int queueMs) {
    return queueMs >= kSharedQueueMs;
}

int stepUplinkShare(UplinkShare &share, const UplinkSecond &seen, int settingKbps) {
    ++share.ticksAtRate;
    ++share.ticksSinceReturn;
    // OBS's own dynamic bitrate lowering OBS's stream is its stream in trouble, as dropped frames are.
    UplinkSecond second = seen;
    if (second.obsVideoKbps < share.obsVideoKbps && second.obsVideoKbps < second.obsVideoSettingKbps)
        second.obsInTrouble = second.obsFarBehind = true;
    share.obsVideoKbps = second.obsVideoKbps;
    share.deafTicks = std::max(0, share.deafTicks - 1);
    if (share.aside) {
        whileAside(share, second, settingKbps);
        return share.capKbps;
    }
    const bool queueKnown = second.relayQueueMs >= 0;
    // Where the relay's path can't be seen, OBS's trouble stands for a full uplink, until the floor has shown
    // that it is not.
    const bool queue =
        queueKnown ? uplinkQueueStands(second.relayQueueMs) : second.obsInTrouble && share.deafTicks == 0;
    // OBS's trouble while the relay's path is clear is its own path's: the relay sending less would not help.
    const bool shared = queueKnown ? uplinkQueueShared(second.relayQueueMs) : queue;
    const bool uplinkShort = (second.obsInTrouble && shared) || (second.braked && queueKnown);
    if (share.capKbps == 0) {
        if (uplinkShort)
            cut(share, second, settingKbps);
        else if (!second.obsInTrouble)
            share.heldKbps = settingKbps, share.ticksSinceHeld = 0;
        return share.capKbps;
    }
    if (uplinkShort) {
        share.clearTicks = 0;
        if (share.capKbps > kRelayYieldFloorKbps) {
            share.troubleAtFloorTicks = 0;
            if (share.ticksAtRate >= kTicksBetweenCuts || second.obsFarBehind)
                cut(share, second, settingKbps);
        } else if (++share.troubleAtFloorTicks >= (queueKnown ? kTroubleAtFloorTicks : kHelplessTicks)) {
            if (queueKnown) {
                stepAside(share);
            } else {
                share.deafTicks = kDeafTicks;
                share.troubleAtFloorTicks = 0;
                atSetting(share);
            }
        }
        return share.capKbps;
    }
    share.troubleAtFloorTicks = 0;
    share.emptyTicks = queue ? 0 : share.emptyTicks;
    share.queueTicks = queue ? share.queueTicks + 1 : 0;
    if (queue) {
        // The uplink is full and OBS's stream holds: the last step up was one too many, or, where the queue
        // stays at a rate that fitted, the uplink has narrowed a little.
        share.clearTicks = 0;
        if (share.fitKbps != 0 && share.fitKbps < share.capKbps) {
            if (share.queueTicks < kQueueTicksAfterStep)
                return share.capKbps;
            if (share.ceilingKbps == 0 || share.capKbps < share.ceilingKbps)
                share.ceilingKbps = share.capKbps;
            setCap(share, share.fitKbps);
        } else if (share.queueTicks >= kQueueTicksToStepDown) {
            share.ceilingKbps = share.capKbps;
            share.fitKbps = 0;
            const int down = second.relayQueueMs >= kDeepQueueMs ? share.capKbps / 10 : fineStep(settingKbps);
            setCap(share, std::max(kRelayYieldFloorKbps, share.capKbps - down));
        }
        return share.capKbps;
    }
    climb(share, second, settingKbps);
    return share.capKbps;
}

void ObsEncoderReturn::leftForOwn() {
    constexpr int kFirstWaitTicks = 10;
    constexpr int kLongestWaitTicks = 80;
    constexpr int kFailedReturnTicks = 30;
    waitTicks =
        ticksSinceReturn < kFailedReturnTicks ? std::min(waitTicks * 2, kLongestWaitTicks) : kFirstWaitTicks;
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

void StandingQueue::look(unsigned smoothedRttUs, unsigned minRttUs) {
    excessUs[next] = smoothedRttUs > minRttUs ? smoothedRttUs - minRttUs : 0;
    next = (next + 1) % kLooks;
    filled = std::min(filled + 1, kLooks);
}

int StandingQueue::leastOver(int looks) const {
    if (filled < kLooks)
        return -1;
    unsigned least = excessUs[(next - 1 + kLooks) % kLooks];
    for (int back = 2; back <= looks; ++back)
        least = std::min(least, excessUs[(next - back + kLooks) % kLooks]);
    return int(least / 1000);
}
