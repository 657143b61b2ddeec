// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "relay/RelayLink.h"
#include "relay/RelayYield.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <obs.hpp>
#include <thread>

// OBS's stream reaches its drop threshold within a second or two of a shared uplink filling up, and the
// module's once-a-second tick on OBS's main thread can come late on a busy machine. So a thread of its own
// looks at OBS's stream ten times a second while the relay sends, and once OBS's queue shows an uplink too
// small for both, paces the relay's socket down to the yield's floor at once; the tick then takes it from
// there.
class RelayBrake {
public:
    RelayBrake() = default;
    ~RelayBrake();
    RelayBrake(const RelayBrake &) = delete;
    RelayBrake &operator=(const RelayBrake &) = delete;

    // Watches obsStream for the relay's connection in link, which the yield caps at capKbps (0: none).
    // Called on every tick while both send.
    void watch(obs_output_t *obsStream, std::shared_ptr<RelayLink> link, int capKbps);
    // Ends the watch and its thread.
    void stop();
    // Whether it found the uplink short since the last call.
    bool takeBraked() { return braked.exchange(false); }

private:
    void run();
    void check();

    std::mutex mutex;
    std::condition_variable wake;
    bool quitting = false;
    OBSWeakOutputAutoRelease obsStream;
    std::shared_ptr<RelayLink> link;
    int capKbps = 0;
    int droppedSeen = -1;
    ObsQueueTrend trend;
    std::atomic<bool> braked{false};
    std::thread thread;
};
