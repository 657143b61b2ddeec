// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <functional>

// What came back on one raw TCP exchange with a server on 127.0.0.1.
struct Exchange {
    QByteArray received;
    bool closedByPeer = false;
};

// Connects, sends request (in the given pieces, one event-loop turn apart) and collects everything until the
// server closes the connection or timeoutMs passes. The event loop runs meanwhile, so in-process servers
// work.
Exchange exchange(quint16 port, const QList<QByteArray> &pieces, int timeoutMs = 10000);
Exchange exchange(quint16 port, const QByteArray &request, int timeoutMs = 10000);

// A GET (or other method) with the Host header the local server accepts.
QByteArray requestFor(quint16 port, const QByteArray &method, const QByteArray &target,
                      const QByteArray &extraHeaders = {});

// Runs the event loop until condition holds or timeoutMs passes; returns the condition.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
void runEventLoopFor(int ms);

// The bytes a response of the local server carries, written out independently of the module.
QByteArray expectedResponse(const QByteArray &statusLine, const QByteArray &contentType,
                            const QByteArray &body);

// The body of a raw response (after the empty line).
QByteArray responseBody(const QByteArray &response);
