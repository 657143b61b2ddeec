// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/KeyframeInterval.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

RunningEncoding runningStreamEncoding() {
    RunningEncoding running;
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    obs_encoder_t *video =
        output && obs_output_active(output) ? obs_output_get_video_encoder(output) : nullptr;
    if (!video)
        return running;
    OBSDataAutoRelease settings = obs_encoder_get_settings(video);
    running.live = true;
    running.keyintSec = int(obs_data_get_int(settings, "keyint_sec"));
    running.rateControl = obs_data_get_string(settings, "rate_control");
    return running;
}

int simpleModeKeyintSec(obs_service_t *service) {
    if (!service)
        return 0;
    // What a service recommends follows from its type and platform alone. A platform service reads its whole
    // list of services to say it: asked again only when either changed.
    static QByteArray askedFor;
    static int answer = 0;
    OBSDataAutoRelease serviceSettings = obs_service_get_settings(service);
    QByteArray serviceKind(obs_service_get_type(service));
    serviceKind += '\n';
    serviceKind += obs_data_get_string(serviceSettings, "service");
    if (serviceKind == askedFor)
        return answer;

    OBSDataAutoRelease video = obs_data_create();
    OBSDataAutoRelease audio = obs_data_create();
    obs_service_apply_encoder_settings(service, video, audio);
    askedFor = serviceKind;
    answer = int(obs_data_get_int(video, "keyint_sec"));
    return answer;
}
