// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

// What the relay output's signals, raised on libobs's threads, share with the module about one pipeline.
// It lives until that output is released, so a signal never outlives it.
struct RelayLink {
    RelayLink(quint64 generation, QString host, quint16 port)
        : generation(generation), host(std::move(host)), port(port) {}

    const quint64 generation; // tells this pipeline's queued status jobs from a newer one's
    const QString host;       // its server's name or address
    const quint16 port;       // its server's port

    // This process's sockets before the current connection attempt.
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
    // What that socket is paced at from its first frame (bytes per second; 0: not paced): a relay that starts
    // while it yields must not send its first keyframe and what queued up during the connect all at once.
    std::atomic<quint64> startPacing{0};

    // Where the server's name leads (looked up apart from libobs, so possibly not all of it), and this
    // process's sockets when the relay was stopped: an attempt still connecting then is among them.
    void noteServerAddresses(QList<QHostAddress> found) {
        const std::lock_guard lock(mutex);
        addresses = std::move(found);
    }
    void noteSocketsAtStop(std::vector<quint64> sockets) {
        const std::lock_guard lock(mutex);
        socketsAtStop = std::move(sockets);
    }
    QList<QHostAddress> serverAddresses() {
        const std::lock_guard lock(mutex);
        return addresses;
    }
    std::vector<quint64> socketsWhenStopped() {
        const std::lock_guard lock(mutex);
        return socketsAtStop;
    }

private:
    std::mutex mutex;
    std::vector<quint64> socketsBefore;
    QList<QHostAddress> addresses;
    std::vector<quint64> socketsAtStop;
};
