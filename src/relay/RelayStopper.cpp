// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayStopper.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
// How long a sending relay may take to end its stream cleanly at its server.
constexpr auto kGracefulStop = std::chrono::seconds(3);
constexpr int kCheckMs = 50;

struct Ending {
    RetiredRelay retired;
    Clock::time_point giveUp;
};
std::vector<Ending> ending;

void release(RetiredRelay &retired, bool reset) {
    if (retired.link) {
        if (const std::shared_ptr<RelayConnection> connection = retired.link->connection())
            connection->close(reset);
    }
    // Both sides of the output's connection are cut: its threads are awake, and its stop joins them at once.
    if (retired.output && obs_output_active(retired.output))
        obs_output_force_stop(retired.output);
    retired.output = nullptr;
    retired.service = nullptr;
    retired.videoEncoder = nullptr;
    retired.audioEncoder = nullptr;
    retired.link.reset();
}

void checkEnding() {
    const Clock::time_point now = Clock::now();
    for (auto it = ending.begin(); it != ending.end();) {
        if (obs_output_active(it->retired.output) && now < it->giveUp) {
            ++it;
            continue;
        }
        release(it->retired, obs_output_active(it->retired.output));
        it = ending.erase(it);
    }
    if (!ending.empty())
        QTimer::singleShot(kCheckMs, QCoreApplication::instance(), checkEnding);
}
} // namespace

void retireRelay(RetiredRelay retired) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!retired.graceful || !retired.output || !obs_output_active(retired.output) || !app) {
        release(retired, true);
        return;
    }
    // libobs sends what it holds and ends the stream; its send thread is never stuck: the connection takes
    // what the server takes, and is cut at the deadline.
    obs_output_stop(retired.output);
    ending.push_back({std::move(retired), Clock::now() + kGracefulStop});
    if (ending.size() == 1)
        QTimer::singleShot(kCheckMs, app, checkEnding);
}

void finishRetiredRelays() {
    for (Ending &end : ending)
        release(end.retired, true);
    ending.clear();
}

bool retiredRelaysReleased() {
    return ending.empty();
}
