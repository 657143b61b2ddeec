// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "core/ModuleVersion.h"
#include "core/WallClock.h"
#include "relay/Relay.h"
#include "relay/RelayEncoders.h"
#include "relay/RelaySockets.h"
#include "relay/SharedEncoders.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QUrl>

namespace {
constexpr int kAudioBitrate = 160;
constexpr int kReconnectRetries = 60;
constexpr int kReconnectDelaySec = 2;

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
    obs_data_set_int(settings, "bitrate", relay.bitrate);
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
    obs_data_set_int(settings, "bitrate", kAudioBitrate);
    for (const char *id : {"ffmpeg_aac", "CoreAudio_AAC"}) {
        if (!isRegisteredEncoder(id))
            continue;
        if (obs_encoder_t *encoder = obs_audio_encoder_create(id, "Orvane audio", settings, 0, nullptr))
            return encoder;
    }
    return nullptr;
}

// Where this start's output connects, for cutting its attempt at exit (the settings may change while it
// waits): a literal address at once, a name by a lookup of its own (never blocking OBS's main thread).
void noteAttemptTarget(RelayState &relay) {
    const QString host = QUrl(relay.server).host();
    relay.attemptHost = host;
    relay.attemptPort = relayServerPort(relay.server);
    relay.attemptAddresses.clear();
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        relay.attemptAddresses = {literal};
        return;
    }
    if (host.isEmpty() || !QCoreApplication::instance())
        return;
    QHostInfo::lookupHost(host, QCoreApplication::instance(), [host](const QHostInfo &found) {
        RelayState &current = moduleRelay();
        if (current.attemptHost == host)
            current.attemptAddresses = found.addresses();
    });
}

// OBS makes new video and audio objects when the streamer changes their settings and frees the old ones:
// every start takes the current ones, as OBS's own outputs do. OBS's encoders, when shared, are OBS's to
// bind.
void bindToObsMedia(RelayState &relay) {
    if (!relay.sharesObsEncoders) {
        obs_encoder_set_video(relay.videoEncoder, obs_get_video());
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

    if (isRegisteredOutput("rtmp_output"))
        relay.output = obs_output_create("rtmp_output", "Orvane output", nullptr, nullptr);
    if (!relay.output)
        return failBuild(relay, QStringLiteral("OBS couldn't make the Orvane output."));

    obs_output_set_service(relay.output, relay.service);
    obs_output_set_video_encoder(relay.output, relay.videoEncoder);
    obs_output_set_audio_encoder(relay.output, relay.audioEncoder, 0);
    obs_output_set_reconnect_settings(relay.output, kReconnectRetries, kReconnectDelaySec);
    connectRelaySignals(relay.output, relay);

    relay.builtSignature = signature;
    relay.sharesObsEncoders = sharing;
    return true;
}

void releaseRelayPipeline() {
    RelayState &relay = moduleRelay();
    if (relay.output) {
        disconnectRelaySignals(relay.output, relay);
        relay.output = nullptr;
    }
    relay.service = nullptr;
    relay.videoEncoder = nullptr;
    relay.audioEncoder = nullptr;
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
        releaseRelayPipeline();
    }
    if (relayCallEndHook)
        relayCallEndHook();
}

bool startRelay() {
    const RelayCall call;
    RelayState &relay = moduleRelay();
    if (!relay.enabled)
        return false;
    if (relay.connecting)
        return true;
    if (relay.output && obs_output_active(relay.output))
        return true;

    relay.lastAttemptMs = wallClockMs();
    // Decided at every start: OBS's stream settings or the relay's may have changed since the last one.
    StreamEncoders shared = obsStreamEncodersLikeRelay(relay.bitrate);
    if (!relay.output || relaySignature(shared) != relay.builtSignature) {
        releaseRelayPipeline();
        if (!buildRelayPipeline(std::move(shared)))
            return false;
    }

    bindToObsMedia(relay);
    noteAttemptTarget(relay);
    relay.socketsBeforeConnect = processSocketIds();
    relay.connecting = true;
    if (!obs_output_start(relay.output)) {
        relay.connecting = false;
        const QString detail = QString::fromUtf8(obs_output_get_last_error(relay.output));
        relay.error = detail.isEmpty() ? QStringLiteral("OBS couldn't start the Orvane output.") : detail;
        logMessage(LOG_WARNING, "Orvane output didn't start: %s", relay.error.toUtf8().constData());
        return false;
    }
    relay.startedAtMs = wallClockMs();
    logMessage(LOG_INFO, "Orvane output: sending with %s", relay.encoderLabel.toUtf8().constData());
    return true;
}

void stopRelay() {
    const RelayCall call;
    RelayState &relay = moduleRelay();
    relay.wanted = false;
    settleRelayError(relay);
    // An attempt that waits on a server that never answers would hold the relay for up to two minutes,
    // and a start with other settings after it: it is given up now, and its failure is no error.
    if (relay.connecting &&
        cutRelayConnectAttempt(relay.socketsBeforeConnect, relay.attemptAddresses, relay.attemptPort) > 0)
        relay.attemptAbandoned = true;
    if (relay.output)
        obs_output_stop(relay.output);
    relay.sending = false;
    relay.reconnecting = false;
}

void relayOnFrontendEvent(enum obs_frontend_event event) {
    RelayState &relay = moduleRelay();
    if (event == OBS_FRONTEND_EVENT_STREAMING_STARTED) {
        if (relay.enabled) {
            relay.wanted = true;
            startRelay();
        }
    } else if (event == OBS_FRONTEND_EVENT_STREAMING_STOPPING ||
               event == OBS_FRONTEND_EVENT_STREAMING_STOPPED) {
        stopRelay();
    }
}

void shutdownRelay() {
    RelayState &relay = moduleRelay();
    relay.wanted = false;
    // Releasing an output waits for its connection attempt: half a minute with a server that accepts and
    // never answers, two minutes with one that drops the connection request. OBS would hang in its exit
    // that long.
    if (relay.connecting &&
        cutRelayConnectAttempt(relay.socketsBeforeConnect, relay.attemptAddresses, relay.attemptPort) > 0)
        logMessage(LOG_INFO, "Orvane output: gave up its connection attempt, OBS is closing");
    if (relay.output && obs_output_active(relay.output))
        obs_output_stop(relay.output);
    if (relay.callDepth > 0) {
        relay.releaseWhenIdle = true;
        return;
    }
    releaseRelayPipeline();
}
