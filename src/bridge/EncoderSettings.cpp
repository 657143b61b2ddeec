// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/EncoderSettings.h"

#include "bridge/KeyframeInterval.h"
#include "bridge/StateReport.h"
#include "core/SettingsFile.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

namespace {
const QString kNotSaved = QStringLiteral("OBS's encoder settings couldn't be saved.");
const QString kSimpleModeKeyint = QStringLiteral(
    "The bitrate is saved, but OBS's simple output mode can't set a keyframe interval: set Output Mode to "
    "Advanced in OBS's Settings > Output, then save the encoder settings again.");
} // namespace

bool writeEncoderSettings(int bitrate, int keyintSec, QString &error) {
    if (obs_frontend_streaming_active()) {
        error = QStringLiteral("End the stream first.");
        return false;
    }
    config_t *profile = obs_frontend_get_profile_config();
    if (!profile) {
        error = QStringLiteral("OBS has no profile open.");
        return false;
    }

    if (!isAdvancedOutput(profile)) {
        if (bitrate > 0)
            config_set_uint(profile, "SimpleOutput", "VBitrate", uint64_t(bitrate));
        // A profile that could not be written is reported, not passed off as saved.
        if (config_save_safe(profile, "tmp", nullptr) != CONFIG_SUCCESS) {
            error = kNotSaved;
            return false;
        }
        // Simple mode has no keyframe setting: an interval it would not stream with is not passed off as set.
        if (keyintSec > 0 && keyintSec != simpleModeKeyintSec(obs_frontend_get_streaming_service())) {
            error = kSimpleModeKeyint;
            return false;
        }
        return true;
    }

    const QByteArray path = streamEncoderPath().toUtf8();
    OBSDataAutoRelease settings = readSettingsFile(streamEncoderPath(), "bak");
    if (!settings)
        settings = obs_data_create();
    if (bitrate > 0)
        obs_data_set_int(settings, "bitrate", bitrate);
    if (keyintSec > 0)
        obs_data_set_int(settings, "keyint_sec", keyintSec);
    if (!obs_data_save_json_safe(settings, path.constData(), "tmp", "bak")) {
        error = kNotSaved;
        return false;
    }
    return true;
}
