// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/StreamTracker.h"

#include "core/ObsCompat.h"
#include "core/WallClock.h"

#include <QCoreApplication>
#include <obs.hpp>

StreamTracker &streamTracker() {
    static StreamTracker tracker;
    return tracker;
}

namespace {
template <typename Job> void onMainThread(Job job) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

// Raised on libobs's threads: read the signal, hand the rest to the main thread.
void onOutputStop(void *, calldata_t *calldata) {
    const qint64 code = calldata_int(calldata, "code");
    const QString text = stopSignalError(calldata);
    onMainThread([code, text] {
        StreamTracker &tracker = streamTracker();
        tracker.lastStopCode = code;
        tracker.lastStopError = code == 0 ? QString() : text;
        tracker.lastStopAt = wallClockMs();
        if (!text.isEmpty())
            tracker.lastError = text;
    });
}

// The thread that raises "reconnect" has just set the error that broke the connection; the retry that
// replaces it waits for the reconnect delay.
void onOutputReconnect(void *, calldata_t *calldata) {
    const QString text = reconnectSignalError(calldata);
    onMainThread([text] {
        if (!text.isEmpty())
            streamTracker().lastError = text;
    });
}

struct TrackedSignal {
    const char *name;
    signal_callback_t callback;
};
const TrackedSignal kTrackedSignals[] = {{"stop", onOutputStop}, {"reconnect", onOutputReconnect}};

void unwatchOutput(StreamTracker &tracker) {
    if (OBSOutputAutoRelease watched = obs_weak_output_get_output(tracker.watchedOutput)) {
        for (const TrackedSignal &tracked : kTrackedSignals)
            signal_handler_disconnect(obs_output_get_signal_handler(watched), tracked.name, tracked.callback,
                                      nullptr);
    }
    tracker.watchedOutput = nullptr;
}

void watchStreamingOutput(StreamTracker &tracker) {
    unwatchOutput(tracker);
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output)
        return;
    for (const TrackedSignal &tracked : kTrackedSignals)
        signal_handler_connect(obs_output_get_signal_handler(output), tracked.name, tracked.callback,
                               nullptr);
    tracker.watchedOutput = obs_output_get_weak_output(output);
}
} // namespace

void stopWatchingStreamOutput() {
    unwatchOutput(streamTracker());
}

void onStreamEvent(enum obs_frontend_event event) {
    StreamTracker &tracker = streamTracker();
    switch (event) {
    case OBS_FRONTEND_EVENT_STREAMING_STARTING:
        tracker.starting = true;
        tracker.stopping = false;
        tracker.lastError.clear(); // libobs clears the output's own at every start
        watchStreamingOutput(tracker);
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STARTED:
        tracker.starting = false;
        tracker.startedAt = wallClockMs();
        tracker.rate.reset();
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STOPPING:
        tracker.stopping = true;
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
        tracker.starting = false;
        tracker.stopping = false;
        tracker.stoppedAt = wallClockMs();
        tracker.rate.kbps = 0;
        break;
    default:
        break;
    }
}

void sampleStreamRate(qint64 now) {
    StreamTracker &tracker = streamTracker();
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output) {
        tracker.rate.kbps = 0;
        return;
    }
    if (!obs_output_active(output)) {
        tracker.rate.reset();
        return;
    }

    tracker.rate.sample(obs_output_get_total_bytes(output), now);
}
