// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/ModuleConfigPath.h"
#include "core/SettingsFile.h"
#include "core/SettingsWriter.h"
#include "relay/Relay.h"

#include <QUrl>
#include <obs-frontend-api.h>

namespace {

QString relaySettingsPath() {
    return moduleConfigPath(QStringLiteral("relay.json"));
}

SettingsWriter &relaySettingsWriter() {
    static SettingsWriter writer;
    return writer;
}
} // namespace

RelayState &moduleRelay() {
    static RelayState relay;
    return relay;
}

void loadRelaySettings() {
    finishSavingRelaySettings(); // what this process saved last is what it reads
    OBSDataAutoRelease stored = readSettingsFile(relaySettingsPath(), "bak");
    if (!stored)
        return;
    obs_data_set_default_int(stored, "bitrate", kDefaultRelayBitrate);

    RelayState &relay = moduleRelay();
    relay.enabled = obs_data_get_bool(stored, "enabled");
    relay.server = QString::fromUtf8(obs_data_get_string(stored, "server"));
    relay.key = QString::fromUtf8(obs_data_get_string(stored, "key"));
    relay.bitrate = int(obs_data_get_int(stored, "bitrate"));
}

void saveRelaySettings() {
    const RelayState &relay = moduleRelay();
    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_bool(settings, "enabled", relay.enabled);
    obs_data_set_string(settings, "server", relay.server.toUtf8().constData());
    obs_data_set_string(settings, "key", relay.key.toUtf8().constData());
    obs_data_set_int(settings, "bitrate", relay.bitrate);
    // It holds the relay's stream key.
    const char *json = obs_data_get_json(settings);
    relaySettingsWriter().write(relaySettingsPath(), QByteArray(json ? json : "{}"), true);
}

void finishSavingRelaySettings() {
    relaySettingsWriter().finish();
}

void updateRelaySettings(bool enabled, const QString &server, const QString &key, int bitrate) {
    const RelayCall call;
    RelayState &relay = moduleRelay();
    const bool wasEnabled = relay.enabled;
    relay.enabled = enabled && !server.isEmpty() && !key.isEmpty();
    relay.server = server;
    relay.key = key;
    relay.bitrate =
        bitrate >= kMinRelayBitrate && bitrate <= kMaxRelayBitrate ? bitrate : kDefaultRelayBitrate;
    saveRelaySettings();

    if (relay.enabled)
        relayEvent(RelayEvent::TurnedOn);
    else if (wasEnabled)
        relayEvent(RelayEvent::TurnedOff);
}

bool isRelayServerAddress(const QString &server) {
    const QUrl url(server, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("rtmp") || scheme == QLatin1String("rtmps"));
}
