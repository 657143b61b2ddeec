// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>

// What one run of the server allows. The defaults hold in OBS; tests may give their own.
struct ServerLimits {
    int connectionLifetimeMs = 30000;           // every connection ends this long after it was accepted
    int maxConnections = 128;                   // well below the usual 1,024 descriptors OBS has in all
    qint64 maxBufferedBytes = 24 * 1024 * 1024; // request bytes held over all connections
    int proxyTimeoutMs = 20000;                 // a cloud or app call that sends nothing for this long fails
    int cachedPageDeadlineMs = 1000; // a dock page file with a cached copy waits no longer for the cloud
};
