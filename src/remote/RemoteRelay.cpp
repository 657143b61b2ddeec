// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RemoteRelay.h"

#include "bridge/BridgeArguments.h"
#include "relay/Relay.h"

QString maskedStreamKey(const QString &key) {
    return key.isEmpty() ? QString() : QStringLiteral("••••") + key.right(4);
}

QJsonObject remoteRelayStatus() {
    QJsonObject status = relayStatusJson();
    status.insert(QStringLiteral("key"), maskedStreamKey(moduleRelay().key));
    return status;
}

QJsonObject remoteStatus(bool signedIn) {
    return {{QStringLiteral("signedIn"), signedIn}, {QStringLiteral("relay"), remoteRelayStatus()}};
}

namespace {
QString refusalOf(const QJsonObject &fields) {
    const QJsonValue enabled = fields.value(QLatin1String("enabled"));
    if (!enabled.isUndefined() && !enabled.isBool())
        return QStringLiteral("enabled: must be true or false.");
    const QJsonValue key = fields.value(QLatin1String("key"));
    if (!key.isUndefined() && !key.isString())
        return QStringLiteral("key: must be text.");
    const QJsonValue server = fields.value(QLatin1String("server"));
    if (!server.isUndefined() && (!server.isString() || !isRelayServerAddress(server.toString())))
        return QStringLiteral("server: ") + relayStopMessage(OBS_OUTPUT_BAD_PATH);
    const QJsonValue bitrate = fields.value(QLatin1String("bitrate"));
    const double kbps = bitrate.toDouble(-1);
    if (!bitrate.isUndefined() && (!bitrate.isDouble() || kbps != double(qint64(kbps)) ||
                                   kbps < kMinRelayBitrate || kbps > kMaxRelayBitrate))
        return QStringLiteral("bitrate: must be a whole number of kbit/s from %1 to %2.")
            .arg(kMinRelayBitrate)
            .arg(kMaxRelayBitrate);
    return {};
}
} // namespace

QString changeRelayFromRemote(const QJsonObject &fields) {
    if (const QString refusal = refusalOf(fields); !refusal.isEmpty())
        return refusal;
    const RelayState &relay = moduleRelay();
    const auto has = [&fields](const char *name) {
        return fields.contains(QLatin1String(name));
    };
    updateRelaySettings(
        has("enabled") ? booleanArgument(fields, QStringLiteral("enabled"), false) : relay.enabled,
        has("server") ? stringArgument(fields, QStringLiteral("server")) : relay.server,
        has("key") ? stringArgument(fields, QStringLiteral("key")) : relay.key,
        has("bitrate") ? integerArgument(fields, QStringLiteral("bitrate"), kDefaultRelayBitrate)
                       : relay.bitrate);
    return {};
}
