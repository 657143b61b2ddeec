// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "relay/RelayLink.h"
#include "uplink/UplinkShare.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <obs.hpp>
#include <thread>

// OBS's stream reaches its drop threshold within a second or two of a shared uplink filling up, and the
// module's once-a-second tick on OBS's main thread can come late on a busy machine. So a thread of its own
// looks at OBS's stream and at the queue on the relay's path ten times a second while the relay sends, and
// once both show an uplink too small for both streams, paces the relay's socket down to the yield's floor at
// once; the tick then takes it from there. OBS's queue alone, with the relay's path clear, is OBS's own
// path's: the relay sending less would not help.
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
    // The queue that stood on the relay's path over the last second, in ms; -1: not known.
    int relayQueueMs() const { return queueMs.load(); }

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
    StandingQueue relayQueue;
    std::atomic<bool> braked{false};
    std::atomic<int> queueMs{-1};
    std::thread thread;
};
