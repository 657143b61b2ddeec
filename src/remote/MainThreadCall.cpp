// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/MainThreadCall.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <obs.h>

namespace {
constexpr std::chrono::seconds kMainThreadWait{5};

std::mutex callMutex;
std::condition_variable callFinished;
bool callsOpen = false;

// A call the main thread has not begun when its caller gives up is never run: "busy" means nothing done.
struct PendingCall {
    bool begun = false;
    bool abandoned = false;
    std::optional<QJsonObject> result;
};
} // namespace

std::optional<QJsonObject> callOnMainThread(std::function<QJsonObject()> job) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return std::nullopt;
    {
        const std::lock_guard lock(callMutex);
        if (!callsOpen)
            return std::nullopt;
    }
    if (QThread::currentThread() == app->thread())
        return job();
    // obs-websocket runs a batch's requests on OBS's graphics thread, which the main thread may itself be
    // waiting for (a scene collection switch, the exit): never wait there.
    if (obs_in_task_thread(OBS_TASK_GRAPHICS))
        return std::nullopt;

    auto pending = std::make_shared<PendingCall>();
    QMetaObject::invokeMethod(
        app,
        [job = std::move(job), pending] {
            {
                const std::lock_guard lock(callMutex);
                if (!callsOpen || pending->abandoned)
                    return;
                pending->begun = true;
            }
            QJsonObject result = job();
            const std::lock_guard lock(callMutex);
            pending->result = std::move(result);
            callFinished.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(callMutex);
    callFinished.wait_for(lock, kMainThreadWait, [&pending] { return pending->result || !callsOpen; });
    // A job already under way is seen through: what it did is answered.
    if (pending->begun && !pending->result && callsOpen)
        callFinished.wait(lock, [&pending] { return pending->result || !callsOpen; });
    pending->abandoned = !pending->begun;
    return pending->result;
}

void openMainThreadCalls() {
    const std::lock_guard lock(callMutex);
    callsOpen = true;
}

void closeMainThreadCalls() {
    const std::lock_guard lock(callMutex);
    callsOpen = false;
    callFinished.notify_all();
}
