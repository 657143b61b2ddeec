// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/Relay.h"
#include "relay/RelaySockets.h"
#include "relay/RelayYield.h"

#include <obs-frontend-api.h>

namespace {
// A sending relay that has not sent a byte for this long says so.
constexpr qint64 kStallMs = 3000;

// With its own encoders the relay lowers its own bitrate; with OBS's it cannot (that would lower OBS's
// stream too): its socket is paced instead, and its output drops its own frames to fit.
void applyYield(RelayState &relay) {
    const int cap = relay.yield.capKbps;
    const quint64 connection = relay.link ? relay.link->connection.load() : 0;
    if (relay.sharesObsEncoders) {
        if (cap == relay.appliedCapKbps && connection == relay.pacedConnection)
            return;
        // Bytes per second, with room for audio and RTMP's own framing.
        const quint64 rate = cap == 0 ? 0 : quint64(cap) * 1000 / 8 * 11 / 10;
        if (connection != 0 && paceSocket(connection, relay.link->port, rate))
            relay.pacedConnection = connection;
    } else if (cap != relay.appliedCapKbps && relay.videoEncoder) {
        OBSDataAutoRelease settings = obs_data_create();
        obs_data_set_int(settings, "bitrate", cap == 0 ? relay.bitrate : cap);
        obs_encoder_update(relay.videoEncoder, settings);
    }
    relay.appliedCapKbps = cap;
}

bool obsStreamTroubledSinceLastTick(RelayState &relay) {
    OBSOutputAutoRelease stream = obs_frontend_get_streaming_output();
    if (!stream || !obs_output_active(stream)) {
        relay.obsDroppedSeen = -1;
        return false;
    }
    const int dropped = obs_output_get_frames_dropped(stream);
    const int droppedNow = relay.obsDroppedSeen < 0 ? 0 : dropped - relay.obsDroppedSeen;
    relay.obsDroppedSeen = dropped;
    return obsStreamInTrouble(droppedNow, finiteOrZero(obs_output_get_congestion(stream)));
}
} // namespace

void sampleRelayHealth(qint64 now) {
    RelayState &relay = moduleRelay();
    if (!relay.output || !relay.sending) {
        relay.rate.reset();
        relay.stalled = false;
        relay.yield = RelayYield();
        relay.appliedCapKbps = 0;
        relay.pacedConnection = 0;
        relay.obsDroppedSeen = -1;
        return;
    }
    if (relay.rate.sample(obs_output_get_total_bytes(relay.output), now))
        relay.lastProgressMs = now;
    relay.stalled = now - relay.lastProgressMs >= kStallMs;
    stepRelayYield(relay.yield, obsStreamTroubledSinceLastTick(relay), relay.rate.kbps, relay.bitrate);
    applyYield(relay);
}
