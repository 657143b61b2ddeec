// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// When one uplink cannot carry OBS's stream and the relay, the relay gives way: OBS's stream is what the
// streamer set up first. Its bitrate falls while OBS's stream is in trouble and climbs back once it is calm.

// The lowest the relay goes while it yields (kbit/s): below it a stream is no longer worth watching.
inline constexpr int kRelayYieldFloorKbps = 400;

struct RelayYield {
    int capKbps = 0;       // what the relay may send at now; 0: what the streamer set
    int ticksSinceCut = 0; // a cut takes a few seconds to show in OBS's stream
    int calmTicks = 0;
};

// One second's step: obsInTrouble when OBS's stream dropped frames or its send buffer is filling;
// relayKbps what the relay measured in that second; bitrate the streamer's setting. Returns the new cap.
int stepRelayYield(RelayYield &yield, bool obsInTrouble, int relayKbps, int bitrate);

// Whether OBS's stream is in trouble: frames dropped since the last second, or congestion building.
bool obsStreamInTrouble(int droppedSinceLastTick, double congestion);
