// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/ServiceSwitch.h"

#include "core/ModuleConfigPath.h"
#include "core/SettingsFile.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

namespace {
void backUpService(obs_service_t *service, obs_data_t *settings) {
    OBSDataAutoRelease backup = obs_data_create();
    obs_data_set_string(backup, "type", obs_service_get_type(service));
    obs_data_set_obj(backup, "settings", settings);
    // It holds the replaced service's stream key.
    writeOwnerOnlySettingsFile(moduleConfigPath(QStringLiteral("previous-service.json")), backup, true);
}
} // namespace

bool switchToCustomService(const QString &server, const QString &key, QString &error) {
    if (obs_frontend_streaming_active()) {
        error = QStringLiteral("End the stream first.");
        return false;
    }
    if (server.isEmpty() || key.isEmpty()) {
        error = QStringLiteral("The server or stream key is missing.");
        return false;
    }
    const QByteArray serverUtf8 = server.toUtf8();
    const QByteArray keyUtf8 = key.toUtf8();

    if (obs_service_t *current = obs_frontend_get_streaming_service()) {
        OBSDataAutoRelease currentSettings = obs_service_get_settings(current);
        if (QByteArray(obs_data_get_string(currentSettings, "server")) != serverUtf8)
            backUpService(current, currentSettings);
    }

    OBSDataAutoRelease settings = obs_data_create();
    obs_data_set_string(settings, "server", serverUtf8.constData());
    obs_data_set_string(settings, "key", keyUtf8.constData());
    obs_data_set_bool(settings, "use_auth", false);
    OBSServiceAutoRelease service = obs_service_create("rtmp_custom", "default_service", settings, nullptr);
    if (!service) {
        error = QStringLiteral("OBS couldn't make a Custom stream service.");
        return false;
    }
    obs_frontend_set_streaming_service(service);
    obs_frontend_save_streaming_service();
    return true;
}
