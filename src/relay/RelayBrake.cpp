// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayBrake.h"

#include "core/Log.h"
#include "core/SendRate.h"

#include <chrono>
#include <optional>

namespace {
constexpr auto kCheckInterval = std::chrono::milliseconds(100);
} // namespace

RelayBrake::~RelayBrake() {
    stop();
}

void RelayBrake::watch(obs_output_t *stream, std::shared_ptr<RelayLink> relayLink, int cap) {
    {
        const std::lock_guard lock(mutex);
        if (relayLink != link || !obs_weak_output_references_output(obsStream, stream)) {
            obsStream = obs_output_get_weak_output(stream);
            link = std::move(relayLink);
            droppedSeen = -1;
            trend.reset();
            relayQueue.reset();
            queueMs = -1;
        }
        capKbps = cap;
    }
    if (!thread.joinable())
        thread = std::thread([this] { run(); });
}

void RelayBrake::stop() {
    if (!thread.joinable())
        return;
    {
        const std::lock_guard lock(mutex);
        quitting = true;
    }
    wake.notify_all();
    thread.join();
    const std::lock_guard lock(mutex);
    quitting = false;
    obsStream = nullptr;
    link.reset();
    braked = false;
    relayQueue.reset();
    queueMs = -1;
}

void RelayBrake::run() {
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, kCheckInterval, [this] { return quitting; }))
        check();
}

// Called with the mutex held.
void RelayBrake::check() {
    OBSOutputAutoRelease stream = obs_weak_output_get_output(obsStream);
    if (!stream || !link || !obs_output_active(stream)) {
        droppedSeen = -1;
        trend.reset();
        return;
    }
    const int dropped = obs_output_get_frames_dropped(stream);
    const int droppedNow = droppedSeen < 0 ? 0 : dropped - droppedSeen;
    droppedSeen = dropped;
    const double congestion = finiteOrZero(obs_output_get_congestion(stream));
    const bool obsShort = trend.look(droppedNow, congestion);
    const std::shared_ptr<RelayConnection> connection = link->connection();
    if (connection && connection->leastRttUs() != 0)
        relayQueue.look(connection->smoothedRttUs(), connection->leastRttUs());
    else
        relayQueue.reset();
    queueMs = relayQueue.ms();
    if (braked)
        return;
    const int paceKbps = relayBrakePaceKbps(obsShort, obsStreamFarBehind(droppedNow, congestion),
                                            relayQueue.recentMs(), capKbps);
    if (paceKbps == 0)
        return;
    braked = true;
    if (connection) {
        connection->pace(relayPacingBytesPerSecond(paceKbps));
        logMessage(LOG_INFO,
                   "Orvane output: OBS's stream is falling behind (congestion %.2f, %d frames dropped), "
                   "slowing down to %d kbit/s at once",
                   congestion, droppedNow, paceKbps);
    }
}
