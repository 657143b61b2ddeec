// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>
#include <atomic>
#include <mutex>
#include <vector>

// What the relay output's signals, raised on libobs's threads, share with the module about one pipeline.
// It lives until that output is released, so a signal never outlives it.
struct RelayLink {
    RelayLink(quint64 generation, quint16 port) : generation(generation), port(port) {}

    const quint64 generation; // tells this pipeline's queued status jobs from a newer one's
    const quint16 port;       // its server's port

    // This process's sockets before the current connection attempt (the first, or libobs's reconnect).
    void noteSocketsBefore(std::vector<quint64> sockets) {
        const std::lock_guard lock(mutex);
        socketsBefore = std::move(sockets);
    }
    std::vector<quint64> socketsBeforeAttempt() {
        const std::lock_guard lock(mutex);
        return socketsBefore;
    }

    // The socket of the attempt that connected, taken the moment libobs reported it; 0: none known.
    std::atomic<quint64> connection{0};

private:
    std::mutex mutex;
    std::vector<quint64> socketsBefore;
};
