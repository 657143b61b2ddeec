// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <obs.h>

// What OBS's running stream encoder really uses; unset fields when OBS is not streaming.
struct RunningEncoding {
    bool live = false;
    int keyintSec = 0; // 0: the encoder decides (x264: every 250 frames)
    QByteArray rateControl;
};
RunningEncoding runningStreamEncoding();

// The keyframe interval (s) OBS's simple output mode streams with: only the streaming service's recommended
// settings set one there (platform services recommend 2); 0 leaves it to the encoder.
int simpleModeKeyintSec(obs_service_t *service);
