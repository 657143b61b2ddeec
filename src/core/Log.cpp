// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"

#include <QByteArray>
#include <cstdarg>
#include <util/base.h>

void logMessage(int level, const char *format, ...) {
    // Join the prefix to the format first so the caller's arguments fill only the caller's placeholders.
    QByteArray prefixed("[orvane] ");
    prefixed += format;
    va_list args;
    va_start(args, format);
    blogva(level, prefixed.constData(), args);
    va_end(args);
}
