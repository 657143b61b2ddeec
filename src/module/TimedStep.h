// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/Log.h"

#include <QElapsedTimer>

// Module work on OBS's main thread (its tick, its part of OBS's exit): a slow step says so in OBS's log, so
// that a stalled window or a slow close shows whether it waited on the module.
template <typename Step> void runTimedStep(const char *what, Step step) {
    constexpr qint64 kSlowStepMs = 100;
    QElapsedTimer timer;
    timer.start();
    step();
    if (timer.elapsed() >= kSlowStepMs)
        logMessage(LOG_INFO, "%s took %lld ms", what, static_cast<long long>(timer.elapsed()));
}
