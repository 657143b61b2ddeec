// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayStopper.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
// How long a sending relay may take to end its stream cleanly at its server.
constexpr auto kGracefulStop = std::chrono::seconds(3);
constexpr int kCheckMs = 50;
// At exit: how long libobs's threads get to wind a cut output down before it is released regardless.
constexpr auto kWindDownAtExit = std::chrono::seconds(2);

struct Ending {
    RetiredRelay retired;
    Clock::time_point giveUp;
    bool cut = false;
};
std::vector<Ending> ending;

// Both sides of the output's connection are cut: its threads wake at once and wind the output down.
void cut(RetiredRelay &retired, bool reset) {
    if (retired.link) {
        if (const std::shared_ptr<RelayConnection> connection = retired.link->connection())
            connection->close(reset);
    }
    if (retired.output && obs_output_active(retired.output))
        obs_output_force_stop(retired.output);
}

void onOutputStopped(void *data, calldata_t *) {
    static_cast<RelayLink *>(data)->startInFlight = false;
}

// libobs winds a stopped output down on threads of its own (the send thread hands over to one that stops the
// encoders and signals "deactivate"), also for a start that was still connecting when it was cut, whose
// output is not active yet. Released before they are done, the output is freed under them and its encoders
// are destroyed twice.
bool woundDown(const RetiredRelay &retired) {
    return !obs_output_active(retired.output) && !(retired.link && retired.link->startInFlight);
}

void release(RetiredRelay &retired) {
    if (retired.output && retired.link)
        signal_handler_disconnect(obs_output_get_signal_handler(retired.output), "stop", onOutputStopped,
                                  retired.link.get());
    retired.output = nullptr;
    retired.service = nullptr;
    retired.videoEncoder = nullptr;
    retired.audioEncoder = nullptr;
    retired.link.reset();
}

void checkEnding() {
    const Clock::time_point now = Clock::now();
    for (auto it = ending.begin(); it != ending.end();) {
        if (woundDown(it->retired)) {
            cut(it->retired, false);
            release(it->retired);
            it = ending.erase(it);
            continue;
        }
        if (!it->cut && now >= it->giveUp) {
            cut(it->retired, true);
            it->cut = true;
        }
        ++it;
    }
    if (!ending.empty())
        QTimer::singleShot(kCheckMs, QCoreApplication::instance(), checkEnding);
}
} // namespace

void watchRelayOutputStops(obs_output_t *output, RelayLink *link) {
    signal_handler_connect(obs_output_get_signal_handler(output), "stop", onOutputStopped, link);
}

void retireRelay(RetiredRelay retired) {
    if (!retired.output || woundDown(retired)) {
        cut(retired, true);
        release(retired);
        return;
    }
    Ending end{std::move(retired), Clock::now(), false};
    if (end.retired.graceful && end.retired.output && obs_output_active(end.retired.output)) {
        // libobs sends what it holds and ends the stream; its send thread is never stuck: the connection
        // takes what the server takes, and is cut at the deadline.
        obs_output_stop(end.retired.output);
        end.giveUp += kGracefulStop;
    } else {
        cut(end.retired, true);
        end.cut = true;
    }
    ending.push_back(std::move(end));
    if (QCoreApplication *app = QCoreApplication::instance(); !app)
        finishRetiredRelays(); // nothing to come back on
    else if (ending.size() == 1)
        QTimer::singleShot(kCheckMs, app, checkEnding);
}

void finishRetiredRelays() {
    for (Ending &end : ending)
        cut(end.retired, true);
    const Clock::time_point giveUp = Clock::now() + kWindDownAtExit;
    const auto windingDown = [] {
        return std::any_of(ending.begin(), ending.end(),
                           [](const Ending &end) { return !woundDown(end.retired); });
    };
    while (windingDown() && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (Ending &end : ending)
        release(end.retired);
    ending.clear();
}

bool retiredRelaysReleased() {
    return ending.empty();
}
