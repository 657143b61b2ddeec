// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDateTime>

// Milliseconds since the Unix epoch.
inline qint64 wallClockMs() {
    return QDateTime::currentMSecsSinceEpoch();
}
