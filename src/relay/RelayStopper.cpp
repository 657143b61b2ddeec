// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayStopper.h"

#include "core/Log.h"
#include "relay/RelaySockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
// How long a sending relay may take to end its stream cleanly at its server.
constexpr auto kGracefulStop = std::chrono::seconds(3);
// A forced stop has signalled its threads by then; what still holds them waits on the network.
constexpr auto kCutAfter = std::chrono::milliseconds(200);

struct Stopper {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<RetiredRelay> queue;
    bool busy = false;
    std::atomic<bool> hurry{false}; // OBS is closing: no stream is given time to end cleanly
    // OBS's exit gave up on the stop under way: libobs's shutdown frees whatever the thread still holds.
    std::atomic<bool> abandoned{false};
    std::vector<RetiredRelay> heldAfterGiveUp; // what that stop held, never released here
    int threadId = 0;
    std::shared_ptr<RelayLink> stopping; // the link of the pipeline being stopped
    obs_output_t *stoppingOutput = nullptr;
    Clock::time_point forcingSince{}; // when its forced stop began; {}: none under way
    std::thread thread;
};

// Never destroyed: OBS never closes a module's library, so a static's destructor runs at the very end of the
// process, and joining the thread there would wait on a stop that exit gave up on. The process's end takes
// the thread with it.
Stopper &stopper() {
    static Stopper &instance = *new Stopper;
    return instance;
}

void markForcing(Stopper &stopper) {
    const std::lock_guard lock(stopper.mutex);
    if (stopper.forcingSince == Clock::time_point{})
        stopper.forcingSince = Clock::now();
}

// After a give-up nothing here touches, joins or frees what the stop held: libobs's shutdown frees it.
bool leftToLibobs(Stopper &stopper, RetiredRelay &retired) {
    if (!stopper.abandoned)
        return false;
    const std::lock_guard lock(stopper.mutex);
    stopper.heldAfterGiveUp.push_back(std::move(retired));
    return true;
}

void stopAndRelease(Stopper &stopper, RetiredRelay &retired) {
    obs_output_t *output = retired.output;
    if (output && retired.started) {
        const bool sending = obs_output_active(output);
        if (sending && retired.graceful) {
            obs_output_stop(output);
            const Clock::time_point giveUp = Clock::now() + kGracefulStop;
            while (obs_output_active(output) && Clock::now() < giveUp && !stopper.hurry)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        markForcing(stopper);
        // An attempt still connecting, or a stream that did not end in time. The relay reconnects itself:
        // libobs starts no reconnect thread for it that the release below could race.
        if (!sending || obs_output_active(output))
            obs_output_force_stop(output);
    }
    if (leftToLibobs(stopper, retired))
        return;
    markForcing(stopper); // releasing an output that is still connecting joins its thread too
    retired.output = nullptr;
    if (leftToLibobs(stopper, retired))
        return;
    retired.service = nullptr;
    retired.videoEncoder = nullptr;
    retired.audioEncoder = nullptr;
    retired.link.reset();
}

// Whether an output other than the relay's is reconnecting: its attempt could go to the relay's server.
bool anotherOutputReconnecting(obs_output_t *relayOutput) {
    struct Search {
        obs_output_t *relayOutput;
        bool found = false;
    } search{relayOutput};
    obs_enum_outputs(
        [](void *data, obs_output_t *output) {
            auto *search = static_cast<Search *>(data);
            search->found =
                search->found || (output != search->relayOutput && obs_output_reconnecting(output));
            return !search->found;
        },
        &search);
    return search.found;
}

void runStopper(Stopper &stopper) {
    std::unique_lock lock(stopper.mutex);
    stopper.threadId = currentThreadId();
    for (;;) {
        stopper.changed.wait(lock, [&stopper] { return !stopper.queue.empty(); });
        RetiredRelay retired = std::move(stopper.queue.front());
        stopper.queue.pop_front();
        stopper.busy = true;
        stopper.stopping = retired.link;
        stopper.stoppingOutput = retired.output;
        lock.unlock();
        stopAndRelease(stopper, retired);
        if (stopper.abandoned)
            return; // what is queued is left to libobs too
        lock.lock();
        stopper.busy = false;
        stopper.stopping.reset();
        stopper.stoppingOutput = nullptr;
        stopper.forcingSince = {};
        stopper.changed.notify_all();
    }
}
} // namespace

void retireRelay(RetiredRelay retired) {
    if (!retired.output && !retired.service && !retired.videoEncoder && !retired.audioEncoder)
        return;
    Stopper &instance = stopper();
    const std::lock_guard lock(instance.mutex);
    instance.queue.push_back(std::move(retired));
    if (!instance.thread.joinable())
        instance.thread = std::thread(runStopper, std::ref(instance));
    instance.changed.notify_all();
}

bool cutStalledRelayStops() {
    Stopper &instance = stopper();
    std::shared_ptr<RelayLink> link;
    int threadId = 0;
    obs_output_t *output = nullptr;
    {
        const std::lock_guard lock(instance.mutex);
        if (!instance.stopping || instance.forcingSince == Clock::time_point{} ||
            Clock::now() - instance.forcingSince < kCutAfter)
            return false;
        link = instance.stopping;
        threadId = instance.threadId;
        output = instance.stoppingOutput;
    }
    bool cut = false;
    if (const quint64 connection = link->connection.exchange(0))
        cut = cutSocket(connection, -1, link->port);
    if (cutSocketWaitedOnBy(threadId, link->port))
        cut = true;
    // libobs 30 and later connect on threads of their own that nobody joins: the attempt is the one socket to
    // the relay's server opened after its start, while no other output of OBS can be connecting there. A
    // socket opened after the stop could be OBS's own stream started anew, except at OBS's exit.
    if (!cut && (!output || !anotherOutputReconnecting(output))) {
        const std::vector<quint64> before = link->socketsBeforeAttempt();
        const std::vector<quint64> atStop = link->socketsWhenStopped();
        const QList<QHostAddress> addresses = link->serverAddresses();
        const std::vector<quint64> *openAtStop = instance.hurry ? nullptr : &atStop;
        for (const quint64 attempt : attemptsToCut(before, openAtStop, addresses, link->port, instance.hurry))
            cut = cutSocket(attempt, -1, link->port) || cut;
    }
    return cut;
}

bool finishRetiredRelays(std::chrono::milliseconds giveUpAfter) {
    Stopper &instance = stopper();
    if (instance.abandoned)
        return false;
    instance.hurry = true;
    bool cut = false;
    const Clock::time_point giveUp = Clock::now() + giveUpAfter;
    while (!retiredRelaysReleased()) {
        if (Clock::now() > giveUp) {
            logMessage(LOG_WARNING, "Orvane output: still stopping, OBS closes without waiting for it");
            instance.abandoned = true;
            break;
        }
        cut = cutStalledRelayStops() || cut;
        std::unique_lock lock(instance.mutex);
        instance.changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    instance.hurry = false; // a later run of the same process (the test host) stops cleanly again
    return cut;
}

bool retiredRelaysReleased() {
    Stopper &instance = stopper();
    const std::lock_guard lock(instance.mutex);
    return instance.queue.empty() && !instance.busy;
}
