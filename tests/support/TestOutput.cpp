// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/TestOutput.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {
uint64_t reportedBytes = 0;
float reportedCongestion = 0;
std::mutex holdMutex;
std::condition_variable holdChanged;
bool stopsHeld = false;
std::atomic<int> destroyed{0};

void registerTestOutput() {
    static bool registered = false;
    if (registered)
        return;
    registered = true;

    obs_output_info info = {};
    info.id = "orvane_test_output";
    info.flags = OBS_OUTPUT_VIDEO;
    info.get_name = [](void *) {
        return "Orvane test output";
    };
    info.create = [](obs_data_t *, obs_output_t *output) -> void * {
        return output;
    };
    info.destroy = [](void *) {
        ++destroyed;
    };
    info.start = [](void *data) {
        return obs_output_begin_data_capture(static_cast<obs_output_t *>(data), 0);
    };
    info.stop = [](void *data, uint64_t) {
        std::unique_lock lock(holdMutex);
        holdChanged.wait(lock, [] { return !stopsHeld; });
        lock.unlock();
        obs_output_end_data_capture(static_cast<obs_output_t *>(data));
    };
    info.raw_video = [](void *, video_data *) {
    };
    info.get_total_bytes = [](void *) {
        return reportedBytes;
    };
    info.get_congestion = [](void *) {
        return reportedCongestion;
    };
    obs_register_output(&info);
}
} // namespace

obs_output_t *createTestOutput() {
    registerTestOutput();
    return obs_output_create("orvane_test_output", "Orvane test output", nullptr, nullptr);
}

void setTestOutputBytes(uint64_t bytes) {
    reportedBytes = bytes;
}

void setTestOutputCongestion(float congestion) {
    reportedCongestion = congestion;
}

void holdTestOutputStops(bool held) {
    const std::lock_guard lock(holdMutex);
    stopsHeld = held;
    holdChanged.notify_all();
}

int testOutputsDestroyed() {
    return destroyed;
}
