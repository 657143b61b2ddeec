// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "relay/Relay.h"
#include "relay/RelaySockets.h"
#include "relay/RelayYield.h"

#include <algorithm>
#include <obs-frontend-api.h>

namespace {
// A sending relay that has not sent a byte for this long says so.
constexpr qint64 kStallMs = 3000;

// Its socket is paced at the cap at once: what the kernel already holds for it would otherwise keep
// competing with OBS's stream for seconds. With its own encoder the relay also lowers that encoder's
// bitrate; with OBS's it cannot (that would lower OBS's stream too), and its output drops its own frames.
void applyYield(RelayState &relay) {
    const int cap = relay.yield.capKbps;
    const quint64 connection = relay.link ? relay.link->connection.load() : 0;
    if (connection != 0 && (cap != relay.appliedCapKbps || connection != relay.pacedConnection)) {
        if (paceSocket(connection, relay.link->port, cap == 0 ? 0 : relayPacingBytesPerSecond(cap)))
            relay.pacedConnection = connection;
    }
    if (!relay.sharesObsEncoders && cap != relay.appliedCapKbps && relay.videoEncoder) {
        // The cap is all the relay sends: its audio and RTMP's framing come out of it.
        OBSDataAutoRelease settings = obs_data_create();
        obs_data_set_int(settings, "bitrate",
                         cap == 0 ? relay.bitrate : std::max(kRelayYieldFloorKbps / 2, cap * 95 / 100 - 160));
        obs_encoder_update(relay.videoEncoder, settings);
    }
    relay.appliedCapKbps = cap;
}

int encoderKbps(obs_encoder_t *encoder) {
    OBSDataAutoRelease settings = encoder ? obs_encoder_get_settings(encoder) : nullptr;
    return settings ? int(obs_data_get_int(settings, "bitrate")) : 0;
}

// OBS's stream over the last second: whether it is in trouble, what it sent and what it needs. Returns
// the stream while it is live.
OBSOutputAutoRelease sampleObsStream(RelayState &relay, qint64 now, UplinkSecond &second) {
    OBSOutputAutoRelease stream = obs_frontend_get_streaming_output();
    if (!stream || !obs_output_active(stream)) {
        relay.obsDroppedSeen = -1;
        relay.obsRate.reset();
        return nullptr;
    }
    const int dropped = obs_output_get_frames_dropped(stream);
    const int droppedNow = relay.obsDroppedSeen < 0 ? 0 : dropped - relay.obsDroppedSeen;
    relay.obsDroppedSeen = dropped;
    relay.obsRate.sample(obs_output_get_total_bytes(stream), now);
    const double congestion = finiteOrZero(obs_output_get_congestion(stream));
    // Until the relay yields, the brake's ten looks a second judge OBS's queue: one look can fall on the
    // stall of a lost packet, which passes by itself.
    second.obsInTrouble =
        relay.yield.capKbps == 0 ? droppedNow > 0 : obsStreamInTrouble(droppedNow, congestion);
    second.obsFarBehind = obsStreamFarBehind(droppedNow, congestion);
    second.obsKbps = relay.obsRate.kbps;
    second.obsNeedKbps = (encoderKbps(obs_output_get_video_encoder(stream)) +
                          encoderKbps(obs_output_get_audio_encoder(stream, 0))) *
                         105 / 100;
    // The brake found the uplink short between two ticks (and paced the relay's socket to its floor).
    if (relay.brake->takeBraked())
        second.obsInTrouble = second.obsFarBehind = true;
    return stream;
}
} // namespace

void sampleRelayHealth(qint64 now) {
    RelayState &relay = moduleRelay();
    if (!relay.output || !relay.sending) {
        relay.brake->stop();
        relay.rate.reset();
        relay.stalled = false;
        relay.yield = RelayYield();
        relay.appliedCapKbps = 0;
        relay.pacedConnection = 0;
        relay.obsDroppedSeen = -1;
        relay.obsRate.reset();
        return;
    }
    if (relay.rate.sample(obs_output_get_total_bytes(relay.output), now))
        relay.lastProgressMs = now;
    relay.stalled = now - relay.lastProgressMs >= kStallMs;
    UplinkSecond second;
    OBSOutputAutoRelease obsStream = sampleObsStream(relay, now, second);
    second.relayKbps = relay.rate.kbps;
    const bool wasYielding = relay.yield.capKbps != 0;
    stepRelayYield(relay.yield, second, relay.bitrate);
    if (!wasYielding && relay.yield.capKbps != 0)
        logMessage(LOG_INFO,
                   "Orvane output: the uplink can't carry both streams, giving way to OBS's stream");
    else if (wasYielding && relay.yield.capKbps == 0)
        logMessage(LOG_INFO, "Orvane output: back at %d kbit/s", relay.bitrate);
    applyYield(relay);
    if (obsStream)
        relay.brake->watch(obsStream, relay.link, relay.yield.capKbps);
    else
        relay.brake->stop();
}
