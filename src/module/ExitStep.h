// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/Log.h"

#include <QElapsedTimer>

// A step of OBS's exit that the module runs; a slow one says so in OBS's log, so that a slow close
// shows whether it waited on the module.
template <typename Step> void runExitStep(const char *what, Step step) {
    constexpr qint64 kSlowStepMs = 100;
    QElapsedTimer timer;
    timer.start();
    step();
    if (timer.elapsed() >= kSlowStepMs)
        logMessage(LOG_INFO, "exit: %s took %lld ms", what, static_cast<long long>(timer.elapsed()));
}
