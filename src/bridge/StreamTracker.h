// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/SendRate.h"

#include <QString>
#include <QtGlobal>
#include <obs-frontend-api.h>
#include <obs.hpp>

// What OBS does not report about its own stream: the phase, its times and the measured send rate.
struct StreamTracker {
    bool starting = false;
    bool stopping = false;
    qint64 startedAt = 0; // ms since the Unix epoch
    qint64 stoppedAt = 0;
    SendRate rate;
    // How OBS's stream last ended: OBS's stop code (0: on purpose) and its error text, when it ended.
    qint64 lastStopCode = 0;
    QString lastStopError;
    qint64 lastStopAt = 0;
    // The streaming output's last error, as its stop and reconnect signals carried it: libobs's own copy
    // is freed and replaced by its connect threads, so the main thread never reads it there.
    QString lastError;
    OBSWeakOutputAutoRelease watchedOutput; // the output whose "stop" signal is connected
};

StreamTracker &streamTracker();

// Records a front-end event of OBS's own stream. At "starting" it watches the streaming output's "stop"
// signal, which alone carries why a stream ended (a failed start included).
void onStreamEvent(enum obs_frontend_event event);

// Lets go of the streaming output's signal; at exit.
void stopWatchingStreamOutput();

// Measures the send rate of OBS's stream at now (ms since the Unix epoch); called once a second.
void sampleStreamRate(qint64 now);
