// SPDX-License-Identifier: GPL-2.0-or-later
#include "uplink/UplinkShare.h"

#include "UplinkModel.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {
// OBS's stream and the relay on one uplink, a second at a time, with the figures of a recorded run in
// Debian's OBS 29: OBS's stream sends 2,013 kbit/s and needs 2,268 with its audio and framing; the relay
// sends nine tenths of its cap (what its encoder makes of a still picture, if less); a modem's queue stood at
// 26 ms once the uplink was full, at 5 ms with room, and at none once wide. OBS's stream falls into trouble
// when the relay keeps more than 100 kbit/s over the uplink's room for two seconds.
struct Uplink {
    int kbps;
    int bitrate = 2000;
    bool obsPathShort = false; // OBS's own path short: trouble every second, whatever the relay does
    bool queueKnown = true;
    int fullQueueMs = 26; // a modem that loses packets shows less: its queue rises and falls with TCP's
    int over = 0;         // seconds in a row the relay has sent over the room left
    int encoderKbps = 1 << 20;
};

struct Seconds {
    int obsTroubled = 0;
    int relayKbps = 0; // all it sent
    int aside = 0;
};

Seconds run(UplinkShare &share, Uplink &uplink, int seconds) {
    Seconds seen;
    for (int second = 0; second < seconds; ++second) {
        const int room = uplink.kbps - 2013 - 40;
        const int wants = std::min(uplink.encoderKbps, share.aside          ? 0
                                                       : share.capKbps == 0 ? uplink.bitrate
                                                                            : share.capKbps * 9 / 10);
        const int sent = std::min(wants, room);
        uplink.over = wants > room + 100 ? uplink.over + 1 : 0;
        UplinkSecond input;
        input.obsInTrouble = uplink.obsPathShort || uplink.over >= 2;
        input.obsFarBehind = input.obsInTrouble;
        input.obsKbps = uplink.over >= 2 ? 1678 : 2013;
        input.obsNeedKbps = 2268;
        input.relayKbps = sent;
        input.relayQueueMs = !uplink.queueKnown || share.aside ? -1
                             : wants > room                    ? uplink.fullQueueMs
                             : room - wants < 2000             ? 5
                                                               : 0;
        seen.obsTroubled += input.obsInTrouble;
        seen.relayKbps += sent;
        seen.aside += share.aside;
        stepUplinkShare(share, input, uplink.bitrate);
    }
    seen.relayKbps /= seconds;
    return seen;
}
} // namespace

TEST(UplinkShare, FindsTheRoomLeftAndHoldsItThenClimbsBackOnceTheUplinkWidens) {
    UplinkShare share;
    Uplink uplink{3000};
    const Seconds settling = run(share, uplink, 20);
    EXPECT_LE(settling.obsTroubled, 2) << "the first trouble, until the cut shows";
    // Past the rate that made a queue it probes now and then: the uplink may have widened meanwhile.
    int probes = 0;
    for (int second = 0; second < 60; ++second) {
        const int before = share.capKbps;
        run(share, uplink, 1);
        probes += share.capKbps > before;
    }
    EXPECT_GE(probes, 4);
    EXPECT_LE(probes, 8);
    const Seconds held = run(share, uplink, 60);
    EXPECT_EQ(held.obsTroubled, 0) << "probing for more room never troubles OBS's stream";
    EXPECT_GE(held.relayKbps, 947 * 95 / 100) << "all but a little of the room left";
    EXPECT_FALSE(share.aside);
    // A still picture a minute long: a path the relay does not fill shows no room for its cap, and the
    // picture moving again finds the relay at a rate that fits.
    uplink.encoderKbps = 300;
    run(share, uplink, 60);
    uplink.encoderKbps = 1 << 20;
    EXPECT_EQ(run(share, uplink, 10).obsTroubled, 0);
    uplink.kbps = 10000;
    run(share, uplink, 10);
    EXPECT_EQ(share.capKbps, 0) << "back at the setting within 10 s";
    // An uplink with room for both changes nothing.
    uplink.kbps = int((2000 + 2000 + 320) * 1.2);
    EXPECT_EQ(run(share, uplink, 60).obsTroubled, 0);
    EXPECT_EQ(share.capKbps, 0);
}

TEST(UplinkShare, GivesWayOnlyWhereItHelps) {
    // OBS's own path short, the relay's clear: the relay keeps its setting.
    UplinkShare share;
    Uplink uplink{20000};
    uplink.obsPathShort = true;
    run(share, uplink, 60);
    EXPECT_EQ(share.capKbps, 0);
    EXPECT_FALSE(share.aside);
    // Where the relay's path can't be seen, a cut to the floor that did not help ends within seconds and is
    // not tried again for a while.
    uplink.queueKnown = false;
    share = UplinkShare();
    int atSetting = 0;
    for (int second = 0; second < 60; ++second) {
        run(share, uplink, 1);
        atSetting += share.capKbps == 0;
    }
    EXPECT_GE(atSetting, 50);
    EXPECT_LE(atSetting, 54) << "the floor held long enough to show whether it helps";
    int cuts = 0;
    for (int second = 0; second < 120; ++second) {
        const int before = share.capKbps;
        run(share, uplink, 1);
        cuts += before == 0 && share.capKbps != 0;
    }
    EXPECT_EQ(cuts, 2) << "tried again once a minute";
    // A queue without OBS's trouble, while the relay sends at its setting: a burst, not a short uplink.
    share = UplinkShare();
    EXPECT_EQ(stepUplinkShare(share, {false, 2013, 2268, 2013, false, 67}, 2000), 0);
    // The brake's finding between ticks holds though its pacing has drained the queue by the tick.
    EXPECT_EQ(stepUplinkShare(share, {true, 1678, 2268, 900, true, 3, true}, 2000), kRelayYieldFloorKbps);
    // A modem with room to spare shows a queue of 5 to 11 ms (OBS 29 and 30.2.3): OBS's trouble then is its
    // own path's, and a relay holding a rate that fitted holds it.
    share = UplinkShare();
    EXPECT_EQ(stepUplinkShare(share, {true, 1678, 2268, 1500, true, 7}, 2000), 0);
    share.capKbps = share.fitKbps = 1200;
    for (int second = 0; second < 20; ++second)
        stepUplinkShare(share, {false, 2013, 2268, 1080, false, 11}, 2000);
    EXPECT_GE(share.capKbps == 0 ? 2000 : share.capKbps, 1200);
    // A second with nothing known (OBS's stream not yet sampled) changes nothing.
    share = UplinkShare();
    EXPECT_EQ(stepUplinkShare(share, UplinkSecond(), 2000), 0);
}

TEST(UplinkShare, AfterADipIsBackAtWhatHeldBeforeWithinSeconds) {
    UplinkShare share;
    Uplink uplink{5000};
    run(share, uplink, 30);
    uplink.kbps = 2400; // three seconds in which the relay's floor just fits
    run(share, uplink, 3);
    EXPECT_EQ(share.capKbps, kRelayYieldFloorKbps);
    uplink.kbps = 5000;
    const Seconds back = run(share, uplink, 10);
    EXPECT_EQ(share.capKbps, 0);
    EXPECT_GE(back.relayKbps, 1300);
    EXPECT_EQ(back.obsTroubled, 0);
    // Not even the floor fits for 40 s: the time aside says nothing of the rate that held before, and a
    // return onto a wide uplink goes back to it in halving steps.
    uplink.kbps = 2100;
    run(share, uplink, 40);
    uplink.kbps = 8000;
    for (int second = 0; share.aside && second < 30; ++second)
        run(share, uplink, 1);
    run(share, uplink, 4);
    EXPECT_EQ(share.capKbps, 0);
}

TEST(UplinkShare, CutsByWhatOBSsStreamNeedsOneSecondApartAndStepsDownOnAQueueThatStays) {
    // Yielding at 1,200 and OBS's stream a little behind (not far): a cut that leaves OBS's stream what it
    // needs out of what both sent, small where that leaves room, and none the very next second (a cut takes
    // a second to show).
    const auto yieldingAt = [](int capKbps) {
        UplinkShare share;
        share.capKbps = capKbps;
        share.ticksAtRate = 10;
        return share;
    };
    UplinkSecond behind{true, 1900, 2268, 1000, false, 15};
    UplinkShare share = yieldingAt(1200);
    const int cut = stepUplinkShare(share, behind, 1660);
    EXPECT_LE(cut + 2268, 1900 + 1000);
    EXPECT_GE(cut, kRelayYieldFloorKbps);
    EXPECT_EQ(stepUplinkShare(share, behind, 1660), cut);
    EXPECT_LT(stepUplinkShare(share, behind, 1660), cut);
    share = yieldingAt(1200);
    const int small = stepUplinkShare(share, {true, 2268, 2268, 1500, false, 15}, 1660);
    EXPECT_LT(small, 1200 * 9 / 10);
    EXPECT_GE(small, 1200 * 3 / 4);
    // What OBS's stream sent or needs not known (not sampled yet): the least cut, since a need that can't be
    // weighed says nothing of the room left.
    for (const auto &[sent, needs] : {std::pair{0, 2268}, std::pair{100, 0}}) {
        share = yieldingAt(1200);
        EXPECT_GE(stepUplinkShare(share, {true, sent, needs, 100, false, 15}, 1660), 1200 * 3 / 4);
    }
    // At the setting, the first trouble on a shared path goes to the floor at once, far behind or not.
    share = UplinkShare();
    EXPECT_EQ(stepUplinkShare(share, behind, 1660), kRelayYieldFloorKbps);
    // A queue that stays at a rate that fitted (the uplink narrowed a little, OBS's stream still fine): a
    // few seconds of it, then a step down, a small one for a shallow queue, a bigger one for a deep queue.
    // A step up that made a queue: back to the rate that fitted, and the next try past it only after a while.
    share = yieldingAt(1100);
    share.fitKbps = 1000;
    for (int second = 0; second < 2; ++second)
        stepUplinkShare(share, {false, 2013, 2268, 990, false, 30}, 1660);
    EXPECT_EQ(share.capKbps, 1000);
    int calm = 0;
    while (stepUplinkShare(share, {false, 2013, 2268, 900, false, 12}, 1660) <= 1000 && calm < 30)
        ++calm;
    EXPECT_GE(calm, 6);
    EXPECT_LT(calm, 30);
    for (const int queueMs : {30, 90}) {
        share = yieldingAt(1200);
        share.fitKbps = 1200;
        int seconds = 0;
        while (stepUplinkShare(share, {false, 2013, 2268, 1080, false, queueMs}, 1660) == 1200 &&
               seconds < 20)
            ++seconds;
        EXPECT_GE(seconds, 3) << queueMs;
        EXPECT_LE(seconds, 6) << queueMs;
        EXPECT_LT(share.capKbps, 1200);
        if (queueMs < 80)
            EXPECT_GE(share.capKbps, 1200 - 100);
        else
            EXPECT_LE(share.capKbps, 1200 - 100);
    }
}

TEST(UplinkShare, TheBrakeActsAtOnceWhereTheRelaySharesOBSsPath) {
    // At the setting: OBS's queue growing, with the relay's path queued (or not seen), paces to the floor.
    EXPECT_EQ(relayBrakePaceKbps(true, false, 12, 0), kRelayYieldFloorKbps);
    EXPECT_EQ(relayBrakePaceKbps(true, false, -1, 0), kRelayYieldFloorKbps);
    EXPECT_EQ(relayBrakePaceKbps(true, true, 0, 0), 0) << "a clear path: OBS's trouble is its own";
    EXPECT_EQ(relayBrakePaceKbps(false, false, 40, 0), 0);
    // Yielding already: only OBS far behind brakes; at the floor, to a trickle that keeps the connection.
    EXPECT_EQ(relayBrakePaceKbps(true, false, 40, 900), 0);
    const int trickle = relayBrakePaceKbps(false, true, 40, 900);
    EXPECT_GT(trickle, 0);
    EXPECT_LT(trickle, kRelayYieldFloorKbps / 4);
    // A deep queue on the relay's path brakes before OBS's stream feels it.
    EXPECT_EQ(relayBrakePaceKbps(false, false, 90, 0), kRelayYieldFloorKbps);
    EXPECT_EQ(relayBrakePaceKbps(false, false, 90, kRelayYieldFloorKbps), trickle);
}

TEST(UplinkShare, GivesWayToAQueueThatGrowsNotToTheStallOfALostPacket) {
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
    // Above where it stood 300 ms ago, though under its peak: still growing.
    EXPECT_EQ(firstShortLook({0.30, 0.10, 0.20, 0.25, 0.15}), 4);
    // The relay's round trips (µs): a burst within the second is no standing queue.
    StandingQueue queue;
    for (const unsigned rtt : {9000u, 40000u, 52000u, 31000u, 12000u, 6000u, 30000u, 45000u, 38000u})
        queue.look(rtt, 60);
    EXPECT_EQ(queue.ms(), -1) << "not a whole second yet";
    queue.look(27000, 60);
    EXPECT_EQ(queue.ms(), 5);
    // A dip: the last half second deep, the second before it clear. The brake sees it; the tick, not yet.
    for (int look = 0; look < 10; ++look)
        queue.look(look < 5 ? 40000 : 130000, 40000);
    EXPECT_EQ(queue.recentMs(), 90);
    EXPECT_EQ(queue.ms(), 0);
    queue.look(40000, 40000);
    EXPECT_EQ(queue.recentMs(), 0);
    // A frame dropped, or a queue close to the drop threshold, is short at once.
    ObsQueueTrend trend;
    EXPECT_TRUE(trend.look(1, 0));
    EXPECT_TRUE(trend.look(0, 0.65));
    EXPECT_FALSE(trend.look(0, 0.1));
    // Trouble is a frame dropped or a queue building; far behind, a queue a fifth of the way to dropping.
    EXPECT_TRUE(obsStreamInTrouble(1, 0));
    EXPECT_TRUE(obsStreamInTrouble(0, 0.1));
    EXPECT_FALSE(obsStreamInTrouble(0, 0.05));
    EXPECT_TRUE(obsStreamFarBehind(1, 0));
    EXPECT_TRUE(obsStreamFarBehind(0, 0.25));
    EXPECT_FALSE(obsStreamFarBehind(0, 0.15));
}

TEST(UplinkShare, GivesWayWhenOBSsDynamicBitrateLowersOBSsStreamWhereTheyShareTheUplink) {
    UplinkSecond second{false, 2013, 2268, 1500, false, 3};
    second.obsVideoKbps = second.obsVideoSettingKbps = 2000;
    UplinkShare share;
    EXPECT_EQ(stepUplinkShare(share, second, 1660), 0);
    // OBS lowers its bitrate with a queue on the relay's path: the relay gives way at once.
    second.obsVideoKbps = 1800;
    second.relayQueueMs = 15;
    EXPECT_EQ(stepUplinkShare(share, second, 1660), kRelayYieldFloorKbps);
    // OBS keeping the lower bitrate is no new trouble: the relay climbs while its path has room.
    second.relayQueueMs = 12;
    for (int tick = 0; tick < 10; ++tick)
        stepUplinkShare(share, second, 1660);
    EXPECT_GT(share.capKbps == 0 ? 1660 : share.capKbps, 1000);
    // Lowered on its own path (the relay's clear): the relay keeps its setting.
    share = UplinkShare();
    second.obsVideoKbps = 2000;
    second.relayQueueMs = 0;
    stepUplinkShare(share, second, 1660);
    second.obsVideoKbps = 1600;
    EXPECT_EQ(stepUplinkShare(share, second, 1660), 0);
}

TEST(UplinkShare, ReturnsToOBSsEncodersLessOftenAfterEachReturnThatFailed) {
    ObsEncoderReturn encoders;
    const int first = encoders.waitTicks;
    int longest = first;
    for (int failed = 0; failed < 8; ++failed) {
        const int before = encoders.waitTicks;
        encoders.returned();
        for (int tick = 0; tick < 20; ++tick)
            encoders.tick();
        encoders.leftForOwn();
        EXPECT_TRUE(encoders.waitTicks == before * 2 || encoders.waitTicks == longest) << failed;
        longest = std::max(longest, encoders.waitTicks);
    }
    EXPECT_GE(longest, 60);
    EXPECT_LE(longest, 120) << "a couple of minutes at most";
    // A return that held its ground: the next one waits as the first did.
    encoders.returned();
    for (int tick = 0; tick < 40; ++tick)
        encoders.tick();
    encoders.leftForOwn();
    EXPECT_EQ(encoders.waitTicks, first);
}

namespace {
// OBS's stream alone and beside the relay on the same uplink from the same start.
struct SideBySide {
    UplinkModel alone, both;
    double obsLostMore() const { return both.obsLostPercent() - alone.obsLostPercent(); }
};

SideBySide sideBySide(const std::vector<int> &capacityKbps, bool obsDynamicBitrate = false) {
    SideBySide run;
    const double seconds = capacityKbps.size() * 0.2;
    run.alone.capacityKbps = capacityKbps;
    run.alone.relayOn = false;
    run.alone.obsDynamicBitrate = obsDynamicBitrate;
    run.alone.run(seconds);
    run.both.capacityKbps = capacityKbps;
    run.both.obsDynamicBitrate = obsDynamicBitrate;
    run.both.obsAloneKbps = run.alone.obsSentKbps;
    run.both.run(seconds);
    return run;
}

// A capacity in phases: {kbit/s, seconds}, ...
std::vector<int> phases(std::initializer_list<std::pair<int, int>> list) {
    std::vector<int> kbps;
    for (const auto &[rate, seconds] : list)
        kbps.insert(kbps.end(), size_t(seconds * 5), rate);
    return kbps;
}

constexpr const char *kTraces[] = {"verizon-lte-short", "tmobile-lte-short", "att-lte-driving-2016"};
} // namespace

// What the streamer and the relay's viewers get on uplinks that move, side by side with OBS's stream alone:
// no worse than this. OBS's own dynamic bitrate lowering its bitrate is OBS's stream short of room, as frames
// dropped are. Figures: OBS's frames lost (points over alone) and bitrate kept (over alone), the relay's
// share of what OBS's stream left, its viewers' stops over 0.5 s, seconds aside and at its setting.
TEST(UplinkShare, OnUplinksThatMoveTakesWhatIsLeftWithoutCostingOBSsStream) {
    struct Row {
        const char *name;
        std::vector<int> capacityKbps;
        bool obsDynamicBitrate;
        double obsLostMore, obsBitrateKept, relayShare;
        int stops, aside, atSetting;
    };
    const std::vector<int> flatShort = phases({{6000, 10}, {3000, 60}, {10000, 30}});
    const std::vector<int> narrowing =
        phases({{6000, 10}, {3400, 20}, {3200, 20}, {3000, 20}, {2800, 20}, {2600, 20}});
    const std::vector<int> widening =
        phases({{6000, 10}, {2800, 20}, {3000, 20}, {3200, 20}, {3400, 20}, {3600, 20}, {6000, 20}});
    std::vector<int> moving = phases({{6000, 10}});
    for (int swing = 0; swing < 12; ++swing)
        for (const int kbps : phases({{4000, 5}, {2600, 5}}))
            moving.push_back(kbps);
    const std::vector<Row> rows = {
        {kTraces[0], UplinkModel::trace(kTraces[0]), false, 0.55, 1, 0.76, 3, 14, 52},
        {kTraces[0], UplinkModel::trace(kTraces[0]), true, 0.05, 0.925, 0.75, 3, 11, 58},
        {kTraces[1], UplinkModel::trace(kTraces[1]), false, 0.42, 1, 0.77, 2, 30, 49},
        {kTraces[1], UplinkModel::trace(kTraces[1]), true, 0.05, 0.94, 0.85, 2, 16, 57},
        {kTraces[2], UplinkModel::trace(kTraces[2]), false, 0.85, 1, 0.71, 10, 14, 43},
        {kTraces[2], UplinkModel::trace(kTraces[2]), true, 0.05, 0.995, 0.77, 9, 6, 58},
        {"a flat short uplink, then lifted", flatShort, false, 0.05, 1, 0.92, 0, 0, 36},
        {"... with OBS's dynamic bitrate", flatShort, true, 0.05, 1, 0.92, 0, 0, 36},
        {"short, then not even the floor fits for 40 s",
         phases({{6000, 10}, {3000, 40}, {2400, 40}, {6000, 30}}), false, 0.05, 1, 0.885, 2, 16, 35},
        {"a 2 s dip under the floor, holes of 10 and 30 s",
         phases({{5000, 30}, {2400, 2}, {5000, 20}, {0, 10}, {5000, 30}, {0, 30}, {5000, 40}}), false, 0.05,
         1, 0.875, 2, 39, 99},
        {"not even the floor fits for 90 s, then wide", phases({{5000, 20}, {2300, 90}, {6000, 30}}), false,
         0.05, 1, 0.62, 5, 76, 30},
        {"narrowing a little at a time", narrowing, false, 0.05, 1, 0.87, 0, 0, 11},
        {"... with OBS's dynamic bitrate", narrowing, true, 0.05, 0.995, 0.87, 0, 0, 11},
        {"widening a little at a time", widening, false, 0.05, 1, 0.865, 0, 0, 34},
        {"moving every 5 s", moving, false, 0.05, 1, 0.805, 0, 0, 26},
        {"... with OBS's dynamic bitrate", moving, true, 0.05, 0.995, 0.805, 0, 0, 26},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.obsDynamicBitrate ? ", OBS's dynamic bitrate" : ""));
        const SideBySide run = sideBySide(row.capacityKbps, row.obsDynamicBitrate);
        EXPECT_LE(run.obsLostMore(), row.obsLostMore);
        EXPECT_GE(run.both.obsMeanBitrate(), run.alone.obsMeanBitrate() * row.obsBitrateKept - 1);
        EXPECT_GE(run.both.relayShareOfSpare(), row.relayShare);
        EXPECT_LE(run.both.relay.stops, row.stops);
        EXPECT_LE(run.both.asideSeconds, row.aside);
        EXPECT_GE(run.both.atSettingSeconds, row.atSetting);
    }
}

TEST(UplinkShare, DISABLED_FiguresOnRecordedUplinks) {
    for (const char *name : kTraces) {
        for (const bool dynamic : {false, true}) {
            const SideBySide run = sideBySide(UplinkModel::trace(name), dynamic);
            const UplinkModel &alone = run.alone, &both = run.both;
            printf("%-22s dbr %d: OBS lost %.1f %% alone, %.1f %% with the relay; bitrate %d / %d (%d cuts / "
                   "%d); relay %.0f %% of the spare (%.0f kbit/s), aside %.0f s, stops %d (longest %.1f s), "
                   "OBS's "
                   "alone %d\n",
                   name, dynamic, alone.obsLostPercent(), both.obsLostPercent(), alone.obsMeanBitrate(),
                   both.obsMeanBitrate(), alone.bitrateLowerings, both.bitrateLowerings,
                   100 * both.relayShareOfSpare(), both.spareKbits / 120, both.asideSeconds, both.relay.stops,
                   both.relay.longestStopSeconds, alone.obs.stops);
        }
    }
}
