// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QJsonObject>
#include <functional>
#include <optional>

// Runs a job on the main thread for a caller on another thread (obs-websocket answers requests on its own
// threads) and waits for its result. The job gets only what it captures by value: a caller that stopped
// waiting leaves nothing behind that it would touch.
// No result when calls are closed (OBS is closing: its exit waits on those threads, so nobody may wait
// on the main thread then), when the main thread did not get to the job in time (it will not run then), or
// when called on OBS's graphics thread, which the main thread may be waiting for.
std::optional<QJsonObject> callOnMainThread(std::function<QJsonObject()> job);
// Main thread: calls are taken from now on / no more, and those waiting return at once.
void openMainThreadCalls();
void closeMainThreadCalls();
