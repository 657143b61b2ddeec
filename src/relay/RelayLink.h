// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "relay/RelayConnection.h"

#include <QtGlobal>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

// What the relay output's signals, raised on libobs's threads, and the brake's thread share with the module
// about one pipeline. It lives until that output is released, so a signal never outlives it.
struct RelayLink {
    explicit RelayLink(quint64 generation) : generation(generation) {}

    const quint64 generation; // tells this pipeline's queued status jobs from a newer one's

    // From a start of the output until its "stop" signal, which libobs raises once for every start that
    // succeeded, once the thread that winds the output down has its encoders (or when it never got them).
    std::atomic<bool> startInFlight{false};

    // The connection of the pipeline's current attempt; null: none.
    void setConnection(std::shared_ptr<RelayConnection> current) {
        const std::lock_guard lock(mutex);
        attempt = std::move(current);
    }
    std::shared_ptr<RelayConnection> connection() {
        const std::lock_guard lock(mutex);
        return attempt;
    }

private:
    std::mutex mutex;
    std::shared_ptr<RelayConnection> attempt;
};
