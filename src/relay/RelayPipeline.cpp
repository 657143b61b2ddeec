// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "core/ModuleVersion.h"
#include "core/WallClock.h"
#include "relay/Relay.h"
#include "relay/RelayEncoders.h"
#include "relay/RelayStopper.h"
#include "relay/SharedEncoders.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>
#include <utility>

namespace {
constexpr int kDropThresholdMs = 2500;

// Fails a build: the pipeline is released so no handle stays behind.
bool failBuild(RelayState &relay, const QString &message) {
    relay.error = message;
    releaseRelayPipeline();
    return false;
}

QByteArray clientTaggedKey(const QString &key) {
    return key.toUtf8() + "?client=orvane-obs-plugin&v=" + kModuleVersion;
}

obs_encoder_t *createFirstAvailableVideoEncoder(RelayState &relay) {
    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_string(settings, "rate_control", "CBR");
    obs_data_set_int(settings, "bitrate", relayEncoderKbps(relay));
    obs_data_set_int(settings, "keyint_sec", 2);
    obs_data_set_string(settings, "profile", "high");
    obs_data_set_string(settings, "preset", "veryfast");
    obs_data_set_string(settings, "preset2", "p5");

    for (const VideoEncoderCandidate &candidate : relay.videoEncoderCandidates) {
        const QByteArray id = candidate.id.toUtf8();
        if (!isRegisteredEncoder(id.constData()))
            continue;
        if (obs_encoder_t *encoder =
                obs_video_encoder_create(id.constData(), "Orvane video", settings, nullptr)) {
            relay.encoderLabel = candidate.label;
            return encoder;
        }
    }
    return nullptr;
}

obs_encoder_t *createAacEncoder() {
    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_int(settings, "bitrate", kRelayAudioKbps);
    for (const char *id : {"ffmpeg_aac", "CoreAudio_AAC"}) {
        if (!isRegisteredEncoder(id))
            continue;
        if (obs_encoder_t *encoder = obs_audio_encoder_create(id, "Orvane audio", settings, 0, nullptr))
            return encoder;
    }
    return nullptr;
}

// OBS makes new video and audio objects when the streamer changes their settings and frees the old ones:
// every start takes the current ones, as OBS's own outputs do. OBS's encoders, when shared, are OBS's to
// bind.
void bindToObsMedia(RelayState &relay) {
    // A retry reuses encoders that have run: libobs 30 and later keep their media and warn at every new set.
    if (!relay.sharesObsEncoders) {
        if (obs_encoder_video(relay.videoEncoder) != obs_get_video())
            obs_encoder_set_video(relay.videoEncoder, obs_get_video());
        if (obs_encoder_audio(relay.audioEncoder) != obs_get_audio())
            obs_encoder_set_audio(relay.audioEncoder, obs_get_audio());
    }
    // Later libobs takes an encoded output's media from its encoders alone, and warns when given any.
#if LIBOBS_API_MAJOR_VER < 30
    obs_output_set_media(relay.output, obs_get_video(), obs_get_audio());
#endif
}
} // namespace

QString relaySignature(const StreamEncoders &shared) {
    const RelayState &relay = moduleRelay();
    return relay.server + QLatin1Char('|') + relay.key + QLatin1Char('|') + QString::number(relay.bitrate) +
           QLatin1Char('|') + shared.identity();
}

bool buildRelayPipeline(StreamEncoders shared) {
    RelayState &relay = moduleRelay();
    const QString signature = relaySignature(shared);
    relay.encoderLabel.clear(); // names only an encoder this build chose
    OBSDataAutoRelease serviceSettings = obs_data_create();
    obs_data_set_string(serviceSettings, "server", relay.server.toUtf8().constData());
    obs_data_set_string(serviceSettings, "key", clientTaggedKey(relay.key).constData());
    relay.service = obs_service_create("rtmp_custom", "Orvane output service", serviceSettings, nullptr);

    const bool sharing = bool(shared);
    if (sharing) {
        // The same stream as OBS's own: its running encoders feed both outputs.
        relay.videoEncoder = std::move(shared.video);
        relay.audioEncoder = std::move(shared.audio);
        relay.encoderLabel = QStringLiteral("OBS's stream encoder");
    } else {
        relay.videoEncoder = createFirstAvailableVideoEncoder(relay);
    }
    if (!relay.videoEncoder || !relay.service)
        return failBuild(relay, QStringLiteral("No video encoder could be made for the Orvane output."));

    if (!sharing) {
        relay.audioEncoder = createAacEncoder();
        if (!relay.audioEncoder)
            return failBuild(relay, QStringLiteral("No AAC audio encoder could be made."));
    }

    if (isRegisteredOutput("rtmp_output")) {
        // The relay's viewers would rather get its frames late than lose them up to the next keyframe while
        // its rate comes down to the uplink's: a cut drains what queued up within a few seconds.
        OBSDataAutoRelease outputSettings = obs_data_create();
        obs_data_set_int(outputSettings, "drop_threshold_ms", kDropThresholdMs);
        obs_data_set_int(outputSettings, "pframe_drop_threshold_ms", kDropThresholdMs + 200);
        relay.output = obs_output_create("rtmp_output", "Orvane output", outputSettings, nullptr);
    }
    if (!relay.output)
        return failBuild(relay, QStringLiteral("OBS couldn't make the Orvane output."));

    obs_output_set_service(relay.output, relay.service);
    obs_output_set_video_encoder(relay.output, relay.videoEncoder);
    obs_output_set_audio_encoder(relay.output, relay.audioEncoder, 0);
    // The relay reconnects itself, after looking up its server's name (libobs's reconnect would look it up in
    // a thread that a stop and OBS's exit join).
    obs_output_set_reconnect_settings(relay.output, 0, 0);
    static quint64 builds = 0;
    relay.link = std::make_shared<RelayLink>(++builds);
    connectRelaySignals(relay.output, relay.link.get());
    watchRelayOutputStops(relay.output, relay.link.get());

    relay.builtSignature = signature;
    relay.sharesObsEncoders = sharing;
    relay.appliedCapKbps = relay.share.capKbps; // its encoder was made at that rate
    return true;
}

void releaseRelayPipeline(bool graceful) {
    RelayState &relay = moduleRelay();
    relay.brake->stop();
    if (relay.output)
        disconnectRelaySignals(relay.output, relay.link.get());
    RetiredRelay retired;
    retired.output = std::move(relay.output);
    retired.service = std::move(relay.service);
    retired.videoEncoder = std::move(relay.videoEncoder);
    retired.audioEncoder = std::move(relay.audioEncoder);
    retired.link = std::move(relay.link);
    retired.graceful = graceful && relay.life.sending();
    retireRelay(std::move(retired));
    relay.builtSignature.clear();
    relay.sharesObsEncoders = false;
}

namespace {
void (*relayCallEndHook)() = nullptr;
} // namespace

void setRelayCallEndHook(void (*hook)()) {
    relayCallEndHook = hook;
}

RelayCall::RelayCall() {
    ++moduleRelay().callDepth;
}

RelayCall::~RelayCall() {
    RelayState &relay = moduleRelay();
    if (--relay.callDepth > 0)
        return;
    if (relay.releaseWhenIdle) {
        relay.releaseWhenIdle = false;
        shutdownRelay();
    }
    if (relayCallEndHook)
        relayCallEndHook();
}

// The pipeline an attempt needs: the one there is, or a new one when the settings or OBS's encoders changed.
bool prepareRelayPipeline(RelayState &relay) {
    // Decided at every attempt: OBS's stream settings or the relay's may have changed since the last one.
    // While the uplink is short the relay sends less than OBS's encoders make.
    StreamEncoders shared = relay.ownEncoderWhileShort || relay.share.capKbps != 0
                                ? StreamEncoders()
                                : obsStreamEncodersLikeRelay(relay.bitrate);
    // A lost connection is tried again as it was, to the same server, until the relay is started anew.
    const bool reconnect = relay.life.reconnecting() && relay.output;
    if (reconnect || (relay.output && relaySignature(shared) == relay.builtSignature))
        return true;
    releaseRelayPipeline();
    return buildRelayPipeline(std::move(shared));
}

void openRelayConnection(RelayState &relay, RelayConnection::Report report) {
    closeRelayConnection(relay);
    std::shared_ptr<RelayConnection> connection = RelayConnection::open(relay.server, std::move(report));
    // A relay that starts while it yields is paced at its cap from its first frame.
    if (relay.share.capKbps != 0)
        connection->pace(relayPacingBytesPerSecond(relay.share.capKbps));
    relay.link->setConnection(std::move(connection));
}

void closeRelayConnection(RelayState &relay) {
    if (!relay.link)
        return;
    if (const std::shared_ptr<RelayConnection> connection = relay.link->connection())
        connection->close(true);
    relay.link->setConnection(nullptr);
}

bool startRelayOutput(RelayState &relay) {
    const std::shared_ptr<RelayConnection> connection = relay.link ? relay.link->connection() : nullptr;
    if (!connection || !relay.output)
        return false;
    OBSDataAutoRelease serviceSettings = obs_data_create();
    obs_data_set_string(serviceSettings, "server", connection->localUrl().toUtf8().constData());
    obs_data_set_string(serviceSettings, "key", clientTaggedKey(relay.key).constData());
    obs_service_update(relay.service, serviceSettings);
    bindToObsMedia(relay);
    relay.link->startInFlight = true;
    if (!obs_output_start(relay.output)) {
        relay.link->startInFlight = false;
        const QString detail = QString::fromUtf8(obs_output_get_last_error(relay.output));
        relay.error = detail.isEmpty() ? QStringLiteral("OBS couldn't start the Orvane output.") : detail;
        logMessage(LOG_WARNING, "Orvane output didn't start: %s", relay.error.toUtf8().constData());
        return false;
    }
    relay.startedAtMs = wallClockMs();
    logMessage(LOG_INFO, "Orvane output: sending with %s", relay.encoderLabel.toUtf8().constData());
    return true;
}
