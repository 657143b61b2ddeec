// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "core/ObsCompat.h"
#include "core/WallClock.h"
#include "relay/Relay.h"
#include "relay/RelayStopper.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <obs-frontend-api.h>
#include <utility>

namespace {
const QString kRetrySuffix = QStringLiteral(" Trying again every 5 seconds.");

// libobs raises the output's signals on its own threads: the callbacks only hand work to the main thread,
// where it applies while the pipeline that raised it is still the relay's.
template <typename Job> void onMainThread(const RelayLink *link, Job job) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app,
            [generation = link->generation, job = std::move(job)] {
                const RelayCall call;
                RelayState &relay = moduleRelay();
                if (relay.link && relay.link->generation == generation)
                    job(relay);
            },
            Qt::QueuedConnection);
}

void onRelayStart(void *data, calldata_t *) {
    auto *link = static_cast<RelayLink *>(data);
    onMainThread(link, [](RelayState &relay) {
        relayEvent(RelayEvent::OutputStarted);
        if (!relay.life.sending())
            return;
        relay.error.clear();
        relay.lastProgressMs = wallClockMs();
    });
}

void onRelayStop(void *data, calldata_t *calldata) {
    auto *link = static_cast<RelayLink *>(data);
    const qint64 code = calldata_int(calldata, "code");
    const QString detail = stopSignalError(calldata);

    onMainThread(link, [code, detail](RelayState &relay) {
        if (code == 0 || !relay.life.wanted())
            return;
        relay.error = relayStopMessage(code);
        if (!detail.isEmpty())
            relay.error += QLatin1Char(' ') + detail;
        relay.error += kRetrySuffix;
        // A relay that lost its stream reconnects (the retry) until it sends again.
        relayEvent(relay.life.sending() ? RelayEvent::Lost : RelayEvent::OutputFailed);
    });
}

struct RelaySignal {
    const char *name;
    signal_callback_t callback;
};
const RelaySignal kRelaySignals[] = {
    {"start", onRelayStart},
    {"stop", onRelayStop},
};
} // namespace

void connectRelaySignals(obs_output_t *output, RelayLink *link) {
    signal_handler_t *signals = obs_output_get_signal_handler(output);
    for (const RelaySignal &relaySignal : kRelaySignals)
        signal_handler_connect(signals, relaySignal.name, relaySignal.callback, link);
}

void disconnectRelaySignals(obs_output_t *output, RelayLink *link) {
    signal_handler_t *signals = obs_output_get_signal_handler(output);
    for (const RelaySignal &relaySignal : kRelaySignals)
        signal_handler_disconnect(signals, relaySignal.name, relaySignal.callback, link);
}

QString relayStopMessage(qint64 code) {
    switch (code) {
    case OBS_OUTPUT_BAD_PATH:
        return QStringLiteral("The Orvane address is wrong.");
    case OBS_OUTPUT_CONNECT_FAILED:
        return QStringLiteral("Couldn't reach Orvane.");
    case OBS_OUTPUT_INVALID_STREAM:
        return QStringLiteral("Orvane turned the stream away.");
    case OBS_OUTPUT_ERROR:
        return QStringLiteral("The Orvane output hit an error.");
    case OBS_OUTPUT_DISCONNECTED:
        return QStringLiteral("Lost the connection to Orvane.");
    case OBS_OUTPUT_UNSUPPORTED:
        return QStringLiteral("This encoder can't be used for the Orvane output.");
    case OBS_OUTPUT_ENCODE_ERROR:
        return QStringLiteral("The encoder failed.");
    default:
        return QStringLiteral("The Orvane output stopped (code %1).").arg(code);
    }
}

QString relayRetrySuffix() {
    return kRetrySuffix;
}

void settleRelayError(RelayState &relay) {
    if (relay.error.endsWith(kRetrySuffix))
        relay.error.chop(kRetrySuffix.size());
}

void relayRetryCheck(qint64 now) {
    const RelayCall call;
    sampleRelayHealth(now);
    relayEvent(RelayEvent::Tick);
}

void writeRelayStatus(JsonWriter &json) {
    const RelayState &relay = moduleRelay();
    // libobs reconnecting has lost the connection, however recently the last bytes went out.
    const bool sending = relay.life.sending() && !relay.stalled;
    obs_output_t *output = relay.life.sending() ? relay.output.Get() : nullptr;
    json.beginObject();
    json.key("bitrate").value(relay.bitrate);
    json.key("congestion").value(output ? finiteOrZero(obs_output_get_congestion(output)) : 0.0);
    json.key("connecting").value(relay.life.connecting());
    json.key("dropped").value(output ? obs_output_get_frames_dropped(output) : 0);
    json.key("enabled").value(relay.enabled);
    json.key("encoder").value(relay.encoderLabel);
    json.key("error").value(relay.error);
    json.key("frames").value(output ? obs_output_get_total_frames(output) : 0);
    json.key("kbps").value(relay.life.sending() ? relay.rate.kbps : 0);
    json.key("reconnecting").value(relay.life.reconnecting());
    json.key("sending").value(sending);
    const bool aside = relay.life.steppedAside();
    // A video bitrate, as the setting is: the cap counts its audio too.
    json.key("sendingBitrate").value(aside ? 0 : relayEncoderKbps(relay));
    json.key("server").value(relay.server);
    json.key("stalled").value(relay.stalled);
    json.key("startedAt").value(sending ? double(relay.startedAtMs) : 0.0);
    json.key("steppedAside").value(aside);
    json.key("yielding").value(relay.life.sending() && relay.share.capKbps != 0);
    json.endObject();
}

bool isRelayFigure(const QString &key) {
    static const QStringList figures{QStringLiteral("congestion"), QStringLiteral("dropped"),
                                     QStringLiteral("frames"), QStringLiteral("kbps"),
                                     QStringLiteral("sendingBitrate")};
    return figures.contains(key);
}

QJsonObject relayStatusJson() {
    QByteArray bytes;
    JsonWriter json(bytes);
    writeRelayStatus(json);
    return QJsonDocument::fromJson(bytes).object();
}
