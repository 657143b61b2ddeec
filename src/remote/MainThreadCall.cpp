// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/MainThreadCall.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {
constexpr std::chrono::seconds kMainThreadWait{5};

std::mutex callMutex;
std::condition_variable callFinished;
bool callsOpen = false;

struct PendingCall {
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

    auto pending = std::make_shared<PendingCall>();
    QMetaObject::invokeMethod(
        app,
        [job = std::move(job), pending] {
            {
                const std::lock_guard lock(callMutex);
                if (!callsOpen)
                    return;
            }
            QJsonObject result = job();
            const std::lock_guard lock(callMutex);
            pending->result = std::move(result);
            callFinished.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(callMutex);
    callFinished.wait_for(lock, kMainThreadWait, [&pending] { return pending->result || !callsOpen; });
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
