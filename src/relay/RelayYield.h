// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <array>

// When one uplink cannot carry OBS's stream and the relay, the relay gives way: OBS's stream is what the
// streamer set up first. The relay falls to what the uplink leaves over while OBS's stream is in trouble
// and climbs back once it is calm.

// The lowest the relay goes while it yields (kbit/s, all it sends): below it a stream is no longer worth
// watching.
inline constexpr int kRelayYieldFloorKbps = 400;

// What the relay's socket is paced at for a cap: bytes per second, with room for RTMP's own framing.
inline constexpr unsigned long long relayPacingBytesPerSecond(int capKbps) {
    return (unsigned long long)capKbps * 1000 / 8 * 105 / 100;
}

struct RelayYield {
    int capKbps = 0;       // what the relay may send at now, all told; 0: what the streamer set
    int ticksSinceCut = 0; // a cut takes a few seconds to show in OBS's stream
    int calmTicks = 0;
    int troubleKbps = 0; // the cap in effect when OBS's stream last fell into trouble; 0: none
    bool troubledLastTick = false;
};

// What one second showed: OBS's stream in trouble (frames dropped, or its send buffer filling), what OBS's
// stream and the relay sent in it, what OBS's stream needs (its encoders' bitrates), and whether OBS's
// stream is close to dropping frames or dropped some.
struct UplinkSecond {
    bool obsInTrouble = false;
    int obsKbps = 0;
    int obsNeedKbps = 0;
    int relayKbps = 0;
    bool obsFarBehind = false;
};

// One second's step, with bitrate the streamer's setting. Returns the new cap.
int stepRelayYield(RelayYield &yield, const UplinkSecond &second, int bitrate);

// Whether OBS's stream is in trouble: frames dropped since the last second, or congestion building.
bool obsStreamInTrouble(int droppedSinceLastTick, double congestion);
// Whether it is close to dropping frames, or dropped some: no time to wait and see what a smaller cut does.
bool obsStreamFarBehind(int droppedSinceLastTick, double congestion);

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
