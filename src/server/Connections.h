// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "http/HttpRequest.h"
#include "server/RouteDecision.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpSocket>
#include <memory>

struct LocalServer;

// One connection's request as it arrives. The head is parsed and judged once, when it is complete;
// only an admitted request has its body read.
struct Conn {
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    qsizetype scannedTo = 0; // the head's end was looked for up to here
    bool headRead = false;
    HttpRequest request; // once headRead: the request, its body still missing
    RouteDecision decision;
    qint64 bodyLength = 0;
    qsizetype bodyStart = 0;
    bool handled = false;      // answered or handed on: anything more that arrives is dropped
    bool otherAccount = false; // the peer runs as another account of this machine: it is refused
    QDeadlineTimer cutAt;      // the end of the connection's lifetime
};

// Takes over every connection waiting on the server's listener. At the connection cap the oldest
// connection that is still sending its request makes room; with none such, the new one is closed.
void acceptPending(LocalServer &server);

// Ends the connections whose lifetime is over; the server's sweep timer calls it while any are open.
void cutExpiredConnections(LocalServer &server);

// Collects the bytes of a connection's request and answers or hands it on as soon as it can.
void readRequest(LocalServer &server, const std::shared_ptr<Conn> &conn);

// The connections open now, and the request bytes they hold.
int openConnectionCount(const LocalServer &server);
qint64 bufferedRequestBytes(const LocalServer &server);
