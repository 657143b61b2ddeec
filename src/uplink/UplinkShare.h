// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <array>

// When one uplink cannot carry OBS's stream and the relay, the relay gives way: OBS's stream is what the
// streamer set up first. The relay finds the rate that the uplink leaves over and holds it, as a video player
// holds a rendition; it steps aside entirely while even its floor does not fit, and gives way only where that
// helps: when OBS's stream is short of room on its own path, the relay sending less changes nothing for it.

// The lowest the relay goes while it yields (kbit/s, all it sends): below it a stream is no longer worth
// watching.
inline constexpr int kRelayYieldFloorKbps = 400;

// What the relay's socket is paced at for a cap: bytes per second, with room for RTMP's own framing.
inline constexpr unsigned long long relayPacingBytesPerSecond(int capKbps) {
    return (unsigned long long)capKbps * 1000 / 8 * 105 / 100;
}

// The video bitrate of the relay's own encoder under a cap: its audio comes out of the cap, and the pacing's
// margin drains what queued up before a cut.
inline constexpr int relayVideoKbps(int capKbps, int audioKbps) {
    const int video = capKbps * 95 / 100 - audioKbps;
    return video > kRelayYieldFloorKbps / 2 ? video : kRelayYieldFloorKbps / 2;
}

// What one second showed: OBS's stream in trouble (frames dropped, or its send buffer filling) or close to
// dropping frames, what OBS's stream and the relay sent, what OBS's stream needs (its encoders' bitrates),
// and the queue that stood on the relay's path all second (the least round trip over its best): a queue that
// both streams see is a full shared uplink.
struct UplinkSecond {
    bool obsInTrouble = false;
    int obsKbps = 0;
    int obsNeedKbps = 0;
    int relayKbps = 0;
    bool obsFarBehind = false;
    int relayQueueMs = -1; // -1: not known (no socket, or a system that does not tell)
    // Between ticks the brake found OBS's stream falling behind with the queue standing, and paced the relay
    // down: that queue drains within the second, and must not make the tick raise the pace again.
    bool braked = false;
    // OBS's video encoder's bitrate now and the highest it had this stream: OBS's own dynamic bitrate lowers
    // it where the uplink is short.
    int obsVideoKbps = 0;
    int obsVideoSettingKbps = 0;
};

struct UplinkShare {
    int capKbps = 0;    // what the relay may send now, all told; 0: what the streamer set
    bool aside = false; // not even the floor fits beside OBS's stream: the relay sends nothing

    // How it got there.
    int fitKbps = 0;     // the highest rate held a while with no queue on the relay's path; 0: none
    int ceilingKbps = 0; // the lowest rate that made a queue since; 0: none
    int ticksAtRate = 0; // since the cap last changed
    int clearTicks = 0;  // seconds in a row with no queue on the relay's path
    int emptyTicks = 0;  // ... and hardly any queue at all
    int queueTicks = 0;  // seconds in a row with a queue standing on it
    int troubleAtFloorTicks = 0;
    int asideWaitTicks = 0; // how long OBS's stream must be calm before the relay tries again
    int ticksSinceReturn = 1 << 20;
    bool climbingFromFloor = false; // since a return, until past its first step with hardly a queue
    int helplessTicks = 0; // where the relay's queue is not known: seconds at the floor that did not help
    int deafTicks = 0;     // seconds left in which OBS's trouble is taken to be its own path's
    int heldKbps = 0;      // the rate that last held with no queue (the setting included)
    int ticksSinceHeld = 1 << 20; // seconds clear since then
    int obsVideoKbps = 0;         // OBS's video bitrate at the last second
};

// One second's step, with settingKbps all the relay sends at the streamer's setting (its video bitrate and
// its audio): a cap is all it sends too. Returns the new cap.
int stepUplinkShare(UplinkShare &share, const UplinkSecond &second, int settingKbps);

// How long the relay, moved to its own encoder while the uplink was short, stays at its setting before it
// returns to OBS's encoders. Its own may make less of the same picture than OBS's, which pads to its bitrate:
// room shown at the setting is then no room for OBS's. A return cut again soon after failed; each doubles the
// stay.
struct ObsEncoderReturn {
    int waitTicks = 10;
    int ticksSinceReturn = 1 << 20;

    void tick() { ++ticksSinceReturn; }
    void returned() { ticksSinceReturn = 0; }
    // The relay leaves OBS's encoders for its own.
    void leftForOwn();
};

// Whether OBS's stream is in trouble: frames dropped since the last second, or congestion building.
bool obsStreamInTrouble(int droppedSinceLastTick, double congestion);
// Whether it is close to dropping frames, or dropped some: no time to wait and see what a smaller cut does.
bool obsStreamFarBehind(int droppedSinceLastTick, double congestion);
// Whether a standing queue of queueMs on the relay's path means the uplink is full.
bool uplinkQueueStands(int queueMs);
// Whether, with OBS's stream in trouble, a queue of queueMs on the relay's path means that the two share it.
bool uplinkQueueShared(int queueMs);

// The brake's decision at one of its looks, ten times a second between the ticks: the pace to hold the relay
// to at once (kbit/s), 0 for none. obsShort: OBS's queue trend says the uplink is short; queueMs: the queue
// standing on the relay's path over the last half second (-1: not known); capKbps: the tick's cap (0: none).
int relayBrakePaceKbps(bool obsShort, bool obsFarBehind, int queueMs, int capKbps);

// OBS's stream as the relay's brake sees it ten times a second while the relay sends at the streamer's
// bitrate. A connection that loses a packet stalls for a few hundred ms and then catches up (TCP finding the
// uplink's size on a modem's small queue, above all in its first seconds): OBS's queue rises and falls within
// a second. An uplink too small for both makes the queue grow and stay; only that, frames dropped, or a queue
// close to OBS's drop threshold are reasons to give way.
class ObsQueueTrend {
public:
    // One look; returns whether the uplink is short now.
    bool look(int droppedSinceLastLook, double congestion);
    void reset() { filled = 0; }

private:
    static constexpr int kLooks = 5;
    std::array<double, kLooks> recent{}; // congestion, the newest at next - 1
    int next = 0;
    int filled = 0;
};

// The queue that stood on a connection's path over the last second, from its smoothed round trip looked at
// ten times a second: the least of those over the least the connection ever had. A burst passes within the
// second; a full uplink's queue stays.
class StandingQueue {
public:
    void look(unsigned smoothedRttUs, unsigned minRttUs);
    void reset() { filled = 0; }
    // Milliseconds; -1 until a second of looks is in.
    int ms() const { return leastOver(kLooks); }
    // Over the last half second: what the brake acts on, as a dip shows in it before OBS's stream feels it.
    int recentMs() const { return leastOver(kLooks / 2); }

private:
    static constexpr int kLooks = 10;
    int leastOver(int looks) const;
    std::array<unsigned, kLooks> excessUs{};
    int next = 0;
    int filled = 0;
};
