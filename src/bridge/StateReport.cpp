// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/StateReport.h"

#include "bridge/KeyframeInterval.h"
#include "bridge/StreamTracker.h"
#include "core/ObsCompat.h"
#include "core/SettingsFile.h"

#include <QFile>
#include <cmath>
#include <obs-frontend-api.h>
#include <obs.hpp>
#include <sys/stat.h>
#include <util/util.hpp>

namespace {
QString text(const char *utf8) {
    return QString::fromUtf8(utf8 ? utf8 : "");
}

// What the profile's streaming encoder file and the encoder's defaults say; read again only when the file
// or the encoder changed.
struct StoredEncoderSettings {
    QByteArray encoderId;
    qint64 fileSize = -1;
    qint64 fileChangedNs = -1;
    QString path;
    int bitrate = 0;
    int keyintSec = 0;
    QByteArray rateControl;
};

// Size and modification time (ns) of path; -1 and -1 when it isn't there.
std::pair<qint64, qint64> fileStamp(const QString &path) {
    struct stat info = {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return {-1, -1};
#ifdef __linux__
    return {qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
#else
    return {qint64(info.st_size), qint64(info.st_mtime) * 1000000000};
#endif
}

const StoredEncoderSettings &storedEncoderSettings(const char *encoderId) {
    static StoredEncoderSettings stored;
    const QString path = streamEncoderPath();
    const auto [size, changedNs] = fileStamp(path);
    const QByteArray id(encoderId ? encoderId : "");
    if (id == stored.encoderId && path == stored.path && size == stored.fileSize &&
        changedNs == stored.fileChangedNs)
        return stored;

    // The file holds only what the user changed; the encoder's defaults fill in the rest.
    OBSDataAutoRelease settings = encoderId ? obs_encoder_defaults(encoderId) : nullptr;
    if (!settings)
        settings = obs_data_create();
    OBSDataAutoRelease file = readSettingsFile(path, "bak");
    if (file)
        obs_data_apply(settings, file);
    stored = {id,
              size,
              changedNs,
              path,
              int(obs_data_get_int(settings, "bitrate")),
              int(obs_data_get_int(settings, "keyint_sec")),
              obs_data_get_string(settings, "rate_control")};
    return stored;
}

void writeOutputHealth(JsonWriter &json, obs_output_t *output) {
    json.key("congestion").value(finiteOrZero(obs_output_get_congestion(output)));
    json.key("dropped").value(obs_output_get_frames_dropped(output));
}

void writeService(JsonWriter &json, obs_service_t *service) {
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    json.key("service").beginObject();
    json.key("key").value(obs_data_get_string(settings, "key"));
    json.key("server").value(obs_data_get_string(settings, "server"));
    json.key("service").value(obs_data_get_string(settings, "service"));
    json.key("type").value(obs_service_get_type(service));
    json.key("url").value(serviceServerUrl(service));
    json.endObject();
}

void writeVideo(JsonWriter &json, const obs_video_info &video) {
    json.key("video").beginObject();
    json.key("baseHeight").value(int(video.base_height));
    json.key("baseWidth").value(int(video.base_width));
    json.key("fps").value(video.fps_den == 0 ? 0.0 : double(video.fps_num) / double(video.fps_den));
    json.key("height").value(int(video.output_height));
    json.key("width").value(int(video.output_width));
    json.endObject();
}

void writeEncoder(JsonWriter &json, config_t *profile) {
    const RunningEncoding running = runningStreamEncoding();
    json.key("encoder").beginObject();
    if (isAdvancedOutput(profile)) {
        const char *id = config_get_string(profile, "AdvOut", "Encoder");
        const StoredEncoderSettings &stored = storedEncoderSettings(id);
        json.key("bitrate").value(stored.bitrate);
        json.key("codec").value(id ? obs_get_encoder_codec(id) : "");
        json.key("encoder").value(id);
        json.key("keyintSec").value(running.live ? running.keyintSec : stored.keyintSec);
        json.key("mode").value("advanced");
        json.key("rateControl")
            .value(running.live ? running.rateControl.constData() : stored.rateControl.constData());
    } else {
        // Simple output mode sets CBR and the bitrate; the keyframe interval is what the service recommends.
        const QString id = text(config_get_string(profile, "SimpleOutput", "StreamEncoder"));
        json.key("bitrate").value(int(config_get_uint(profile, "SimpleOutput", "VBitrate")));
        json.key("codec").value(simpleCodecName(id));
        json.key("encoder").value(id);
        json.key("keyintSec")
            .value(running.live ? running.keyintSec
                                : simpleModeKeyintSec(obs_frontend_get_streaming_service()));
        json.key("mode").value("simple");
        json.key("rateControl").value(running.live ? running.rateControl.constData() : "CBR");
    }
    json.endObject();
}
} // namespace

bool isAdvancedOutput(config_t *profile) {
    return text(config_get_string(profile, "Output", "Mode"))
               .compare(QLatin1String("Advanced"), Qt::CaseInsensitive) == 0;
}

QString streamEncoderPath() {
    BPtr<char> profileDir = obs_frontend_get_current_profile_path();
    return text(profileDir.Get()) + QStringLiteral("/streamEncoder.json");
}

QString simpleCodecName(const QString &encoderId) {
    const QString id = encoderId.toLower();
    if (id.contains(QLatin1String("hevc")) || id.contains(QLatin1String("h265")))
        return QStringLiteral("hevc");
    if (id.contains(QLatin1String("av1")))
        return QStringLiteral("av1");
    return QStringLiteral("h264");
}

void writeStateReport(JsonWriter &json) {
    const StreamTracker &tracker = streamTracker();
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    obs_service_t *service = obs_frontend_get_streaming_service();
    config_t *profile = obs_frontend_get_profile_config();
    obs_video_info video = {};
    const bool hasVideo = obs_get_video_info(&video);

    // Members in ascending key order, as Qt writes them.
    json.beginObject();
    if (output)
        writeOutputHealth(json, output);
    if (profile)
        writeEncoder(json, profile);
    if (output)
        json.key("frames").value(obs_output_get_total_frames(output));
    json.key("kbps").value(tracker.rate.kbps);
    if (output)
        json.key("lastError").value(tracker.lastError);
    // How the stream last ended: a start that failed shows here with OBS's code and text.
    json.key("lastStop").beginObject();
    json.key("at").value(double(tracker.lastStopAt));
    json.key("code").value(double(tracker.lastStopCode));
    json.key("error").value(tracker.lastStopError);
    json.endObject();
    json.key("obsVersion").value(obs_get_version_string());
    if (output)
        json.key("reconnecting").value(obs_output_reconnecting(output));
    if (service)
        writeService(json, service);
    json.key("startedAt").value(double(tracker.startedAt));
    json.key("starting").value(tracker.starting);
    json.key("stoppedAt").value(double(tracker.stoppedAt));
    json.key("stopping").value(tracker.stopping);
    json.key("streaming").value(obs_frontend_streaming_active());
    if (hasVideo)
        writeVideo(json, video);
    json.endObject();
}
