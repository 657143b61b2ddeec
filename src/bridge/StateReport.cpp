#include "bridge/StateReport.h"

#include "bridge/KeyframeInterval.h"
#include "bridge/StreamTracker.h"
#include "core/ObsCompat.h"
#include "core/SettingsFile.h"

#include <cmath>
#include <obs-frontend-api.h>
#include <obs.hpp>
#include <util/util.hpp>

namespace {
QString text(const char *utf8) {
    return QString::fromUtf8(utf8 ? utf8 : "");
}

// Qt writes NaN and infinities as null, and the state never holds null.
double finiteOrZero(double value) {
    return std::isfinite(value) ? value : 0.0;
}

void addOutputHealth(QJsonObject &report, obs_output_t *output) {
    report.insert(QStringLiteral("reconnecting"), obs_output_reconnecting(output));
    report.insert(QStringLiteral("dropped"), obs_output_get_frames_dropped(output));
    report.insert(QStringLiteral("frames"), obs_output_get_total_frames(output));
    report.insert(QStringLiteral("congestion"), finiteOrZero(obs_output_get_congestion(output)));
    report.insert(QStringLiteral("lastError"), text(obs_output_get_last_error(output)));
}

QJsonObject serviceReport(obs_service_t *service) {
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    return QJsonObject{
        {QStringLiteral("type"), text(obs_service_get_type(service))},
        {QStringLiteral("service"), text(obs_data_get_string(settings, "service"))},
        {QStringLiteral("server"), text(obs_data_get_string(settings, "server"))},
        {QStringLiteral("key"), text(obs_data_get_string(settings, "key"))},
        {QStringLiteral("url"), text(serviceServerUrl(service))},
    };
}

QJsonObject videoReport(const obs_video_info &video) {
    return QJsonObject{
        {QStringLiteral("baseWidth"), int(video.base_width)},
        {QStringLiteral("baseHeight"), int(video.base_height)},
        {QStringLiteral("width"), int(video.output_width)},
        {QStringLiteral("height"), int(video.output_height)},
        {QStringLiteral("fps"), video.fps_den == 0 ? 0.0 : double(video.fps_num) / double(video.fps_den)},
    };
}

QJsonObject advancedEncoderReport(config_t *profile, const RunningEncoding &running) {
    const char *id = config_get_string(profile, "AdvOut", "Encoder");
    // The file holds only what the user changed; the encoder's defaults fill in the rest.
    OBSDataAutoRelease settings = id ? obs_encoder_defaults(id) : nullptr;
    if (!settings)
        settings = obs_data_create();
    OBSDataAutoRelease stored = readSettingsFile(streamEncoderPath(), "bak");
    if (stored)
        obs_data_apply(settings, stored);

    return QJsonObject{
        {QStringLiteral("mode"), QStringLiteral("advanced")},
        {QStringLiteral("encoder"), text(id)},
        {QStringLiteral("codec"), id ? text(obs_get_encoder_codec(id)) : QString()},
        {QStringLiteral("bitrate"), int(obs_data_get_int(settings, "bitrate"))},
        {QStringLiteral("keyintSec"),
         running.live ? running.keyintSec : int(obs_data_get_int(settings, "keyint_sec"))},
        {QStringLiteral("rateControl"),
         running.live ? running.rateControl : text(obs_data_get_string(settings, "rate_control"))},
    };
}

// Simple output mode sets CBR and the bitrate; the keyframe interval is whatever the service recommends.
QJsonObject simpleEncoderReport(config_t *profile, const RunningEncoding &running) {
    const QString id = text(config_get_string(profile, "SimpleOutput", "StreamEncoder"));
    return QJsonObject{
        {QStringLiteral("mode"), QStringLiteral("simple")},
        {QStringLiteral("encoder"), id},
        {QStringLiteral("codec"), simpleCodecName(id)},
        {QStringLiteral("bitrate"), int(config_get_uint(profile, "SimpleOutput", "VBitrate"))},
        {QStringLiteral("keyintSec"),
         running.live ? running.keyintSec : simpleModeKeyintSec(obs_frontend_get_streaming_service())},
        {QStringLiteral("rateControl"), running.live ? running.rateControl : QStringLiteral("CBR")},
    };
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

QJsonObject buildStateReport() {
    const StreamTracker &tracker = streamTracker();
    QJsonObject report{
        {QStringLiteral("obsVersion"), text(obs_get_version_string())},
        {QStringLiteral("streaming"), obs_frontend_streaming_active()},
        {QStringLiteral("starting"), tracker.starting},
        {QStringLiteral("stopping"), tracker.stopping},
        {QStringLiteral("startedAt"), double(tracker.startedAt)},
        {QStringLiteral("stoppedAt"), double(tracker.stoppedAt)},
        {QStringLiteral("kbps"), tracker.kbps},
        // How the stream last ended: a start that failed shows here with OBS's code and text.
        {QStringLiteral("lastStop"), QJsonObject{{QStringLiteral("at"), double(tracker.lastStopAt)},
                                                 {QStringLiteral("code"), double(tracker.lastStopCode)},
                                                 {QStringLiteral("error"), tracker.lastStopError}}},
    };

    if (OBSOutputAutoRelease output = obs_frontend_get_streaming_output())
        addOutputHealth(report, output);
    if (obs_service_t *service = obs_frontend_get_streaming_service())
        report.insert(QStringLiteral("service"), serviceReport(service));

    obs_video_info video = {};
    if (obs_get_video_info(&video))
        report.insert(QStringLiteral("video"), videoReport(video));

    if (config_t *profile = obs_frontend_get_profile_config()) {
        const RunningEncoding running = runningStreamEncoding();
        report.insert(QStringLiteral("encoder"), isAdvancedOutput(profile)
                                                     ? advancedEncoderReport(profile, running)
                                                     : simpleEncoderReport(profile, running));
    }
    return report;
}
