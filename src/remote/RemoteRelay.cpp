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

void changeRelayFromRemote(const QJsonObject &fields) {
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
}
