// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/ServerLookup.h"

#include <netdb.h>
#include <sys/socket.h>
#include <thread>

std::shared_ptr<ServerLookup> ServerLookup::start(const QString &host) {
    auto lookup = std::make_shared<ServerLookup>();
    const QHostAddress literal(host);
    if (!literal.isNull() || host.isEmpty()) {
        lookup->finish(literal.isNull() ? QList<QHostAddress>() : QList<QHostAddress>{literal});
        return lookup;
    }
    // Plain getaddrinfo: the thread may outlive OBS's application object, and so must not touch Qt's lookup
    // machinery, which waits for its threads when the process ends.
    std::thread([lookup, name = host.toUtf8()] {
        addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *results = nullptr;
        QList<QHostAddress> addresses;
        if (getaddrinfo(name.constData(), nullptr, &hints, &results) == 0) {
            for (const addrinfo *result = results; result; result = result->ai_next)
                addresses.append(QHostAddress(result->ai_addr));
            freeaddrinfo(results);
        }
        lookup->finish(std::move(addresses));
    }).detach();
    return lookup;
}

void ServerLookup::finish(QList<QHostAddress> addresses) {
    const std::lock_guard lock(mutex);
    found = std::move(addresses);
    current = found.isEmpty() ? State::NotFound : State::Found;
}

ServerLookup::State ServerLookup::state() const {
    const std::lock_guard lock(mutex);
    return current;
}

QList<QHostAddress> ServerLookup::addresses() const {
    const std::lock_guard lock(mutex);
    return found;
}
