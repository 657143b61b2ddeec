// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "relay/Relay.h"
#include "uplink/UplinkShare.h"

#include <algorithm>
#include <obs-frontend-api.h>

namespace {
// A sending relay that has not sent a byte for this long says so.
constexpr qint64 kStallMs = 3000;

// Its socket is paced at the cap at once: what the kernel already holds for it would otherwise keep
// competing with OBS's stream for seconds. Every tick: the brake may have paced it lower since. With its own
// encoder the relay also lowers that encoder's bitrate.
void applyShare(RelayState &relay) {
    const int cap = relay.share.capKbps;
    if (const std::shared_ptr<RelayConnection> connection = relay.link ? relay.link->connection() : nullptr)
        connection->pace(cap == 0 ? 0 : relayPacingBytesPerSecond(cap));
    if (!relay.sharesObsEncoders && cap != relay.appliedCapKbps && relay.videoEncoder) {
        OBSDataAutoRelease settings = obs_data_create();
        obs_data_set_int(settings, "bitrate", relayEncoderKbps(relay));
        obs_encoder_update(relay.videoEncoder, settings);
    }
    relay.appliedCapKbps = cap;
}

// All the relay sends at the streamer's setting, as its cap counts it.
int settingKbps(const RelayState &relay) {
    return relay.bitrate + kRelayAudioKbps;
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
        relay.obsVideoSettingKbps = 0;
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
    second.obsInTrouble = relay.share.capKbps == 0 && !relay.share.aside
                              ? droppedNow > 0
                              : obsStreamInTrouble(droppedNow, congestion);
    second.obsFarBehind = obsStreamFarBehind(droppedNow, congestion);
    second.obsKbps = relay.obsRate.kbps;
    // OBS's own dynamic bitrate lowers its encoder's bitrate where the uplink is short: what OBS's stream
    // needs is what it had.
    second.obsVideoKbps = encoderKbps(obs_output_get_video_encoder(stream));
    relay.obsVideoSettingKbps = std::max(relay.obsVideoSettingKbps, second.obsVideoKbps);
    second.obsVideoSettingKbps = relay.obsVideoSettingKbps;
    second.obsNeedKbps =
        (relay.obsVideoSettingKbps + encoderKbps(obs_output_get_audio_encoder(stream, 0))) * 105 / 100;
    // The brake found the uplink short between two ticks (and paced the relay's socket to its floor).
    if (relay.brake->takeBraked())
        second.obsInTrouble = second.obsFarBehind = second.braked = true;
    return stream;
}

// Moves between OBS's encoders and its own as the share asks.
void followShareWithEncoders(RelayState &relay) {
    relay.obsEncoderReturn.tick();
    if (relay.sharesObsEncoders && relay.share.capKbps != 0) {
        relay.ownEncoderWhileShort = true;
        relay.obsEncoderReturn.leftForOwn();
        relay.ticksAtSettingOnOwnEncoder = 0;
        logMessage(LOG_INFO,
                   "Orvane output: sending with its own encoder at %d kbit/s while the uplink is short",
                   relay.share.capKbps);
        relayEvent(RelayEvent::Restart);
        return;
    }
    if (!relay.ownEncoderWhileShort)
        return;
    const bool clear = relay.share.capKbps == 0 && !uplinkQueueStands(relay.brake->relayQueueMs());
    relay.ticksAtSettingOnOwnEncoder = clear ? relay.ticksAtSettingOnOwnEncoder + 1 : 0;
    if (relay.ticksAtSettingOnOwnEncoder < relay.obsEncoderReturn.waitTicks)
        return;
    relay.ownEncoderWhileShort = false;
    relay.ticksAtSettingOnOwnEncoder = 0;
    if (obsStreamEncodersLikeRelay(relay.bitrate)) {
        logMessage(LOG_INFO, "Orvane output: returning to OBS's stream encoder");
        relay.obsEncoderReturn.returned();
        relayEvent(RelayEvent::Restart);
    }
}

} // namespace

void forgetRelayShare(RelayState &relay) {
    relay.share = UplinkShare();
    relay.appliedCapKbps = 0;
    relay.ownEncoderWhileShort = false;
    relay.ticksAtSettingOnOwnEncoder = 0;
    relay.obsEncoderReturn = ObsEncoderReturn();
}

int relayEncoderKbps(const RelayState &relay) {
    return relay.share.capKbps == 0 ? relay.bitrate : relayVideoKbps(relay.share.capKbps, kRelayAudioKbps);
}

void sampleRelayHealth(qint64 now) {
    RelayState &relay = moduleRelay();
    if (!relay.output || !relay.life.sending()) {
        relay.brake->stop();
        relay.rate.reset();
        relay.stalled = false;
        if (!relay.life.wanted()) {
            forgetRelayShare(relay);
            relay.obsDroppedSeen = -1;
            relay.obsRate.reset();
            return;
        }
        if (!relay.share.aside)
            return;
        // Aside: the relay tries again once OBS's stream has been calm a while.
        UplinkSecond second;
        OBSOutputAutoRelease obsStream = sampleObsStream(relay, now, second);
        stepUplinkShare(relay.share, second, settingKbps(relay));
        if (!relay.share.aside) {
            logMessage(LOG_INFO, "Orvane output: trying again beside OBS's stream at %d kbit/s",
                       relay.share.capKbps);
            relayEvent(RelayEvent::ShareBack);
        }
        return;
    }
    if (relay.rate.sample(obs_output_get_total_bytes(relay.output), now))
        relay.lastProgressMs = now;
    relay.stalled = now - relay.lastProgressMs >= kStallMs;
    UplinkSecond second;
    OBSOutputAutoRelease obsStream = sampleObsStream(relay, now, second);
    second.relayKbps = relay.rate.kbps;
    second.relayQueueMs = relay.brake->relayQueueMs();
    const bool wasYielding = relay.share.capKbps != 0;
    stepUplinkShare(relay.share, second, settingKbps(relay));
    if (relay.share.aside) {
        logMessage(LOG_INFO,
                   "Orvane output: not even %d kbit/s fits beside OBS's stream, stepping aside until it does",
                   kRelayYieldFloorKbps);
        relayEvent(RelayEvent::StepAside);
        return;
    }
    if (!wasYielding && relay.share.capKbps != 0)
        logMessage(LOG_INFO,
                   "Orvane output: the uplink can't carry both streams, giving way to OBS's stream");
    else if (wasYielding && relay.share.capKbps == 0)
        logMessage(LOG_INFO, "Orvane output: back at %d kbit/s", relay.bitrate);
    followShareWithEncoders(relay);
    if (!relay.output)
        return;
    applyShare(relay);
    if (obsStream)
        relay.brake->watch(obsStream, relay.link, relay.share.capKbps);
    else
        relay.brake->stop();
}
