// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <memory>
#include <mutex>

// Where a server's host name leads, looked up on a thread of its own that nothing ever waits for: a name
// server that went with the network holds a lookup for up to ten seconds, and libobs's connect does its own
// lookup in a thread that a stop, and OBS's exit, join. The relay lets libobs connect only once this lookup
// has found the name, so libobs's own finds it at once.
class ServerLookup {
public:
    enum class State { Looking, Found, NotFound };

    // A literal address is found at once.
    static std::shared_ptr<ServerLookup> start(const QString &host);

    State state() const;
    QList<QHostAddress> addresses() const;

private:
    void finish(QList<QHostAddress> found);

    mutable std::mutex mutex;
    State current = State::Looking;
    QList<QHostAddress> found;
};
