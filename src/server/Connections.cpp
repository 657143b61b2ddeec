// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/Connections.h"

#include "core/Log.h"
#include "http/RequestParser.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"
#include "server/PeerAccount.h"
#include "server/Router.h"

#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <util/base.h>

namespace {
void forget(LocalServer &server, const Conn *conn) {
    auto &open = server.openConnections;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [conn](const std::shared_ptr<Conn> &entry) { return entry.get() == conn; }),
               open.end());
}

void drop(LocalServer &server, const std::shared_ptr<Conn> &conn) {
    const std::shared_ptr<Conn> keep = conn; // erasing must not free it while it is in use here
    forget(server, keep.get());
    keep->buffer = QByteArray();
    if (keep->socket)
        keep->socket->abort();
}

// The oldest connection still sending its request, other than spared.
std::shared_ptr<Conn> oldestIdle(const LocalServer &server, const Conn *spared = nullptr) {
    for (const std::shared_ptr<Conn> &conn : server.openConnections) {
        if (!conn->handled && conn.get() != spared)
            return conn;
    }
    return nullptr;
}

bool makeRoomForOneMore(LocalServer &server) {
    while (int(server.openConnections.size()) >= server.limits.maxConnections) {
        const std::shared_ptr<Conn> idle = oldestIdle(server);
        if (!idle)
            return false;
        drop(server, idle);
    }
    return true;
}

// Over the byte cap, the oldest idle connections go first; conn itself only when it is the last one.
void keepWithinByteCap(LocalServer &server, const std::shared_ptr<Conn> &conn) {
    while (bufferedRequestBytes(server) > server.limits.maxBufferedBytes) {
        std::shared_ptr<Conn> victim = oldestIdle(server, conn.get());
        drop(server, victim ? victim : conn);
        if (!victim)
            return;
    }
}

// Only the account that runs OBS may drive it, and only a peer the kernel's table places; where the system
// can't tell at all, everyone is served.
bool fromAnotherAccount(LocalServer &server, const QTcpSocket &socket) {
    if (!server.peerAccounts) // not asked, as the benchmark's side without the check
        return false;
    const PeerAccount account =
        server.peerAccounts->of({socket.peerAddress().toIPv4Address(), socket.peerPort(),
                                 socket.localAddress().toIPv4Address(), socket.localPort()});
    if (account == PeerAccount::Unknown && !server.peerAccountsUnknown) {
        server.peerAccountsUnknown = true;
        logMessage(LOG_WARNING, "Orvane dock: can't tell which account a local program runs as; serving all");
    }
    return account == PeerAccount::Other || account == PeerAccount::NotListed;
}

void answerNow(Conn &conn, int status, const QByteArray &body) {
    conn.handled = true;
    conn.buffer = QByteArray();
    writeResponse(conn.socket, status, "text/plain", body);
}

// Reads the head once it is complete; false when the connection has been answered instead.
bool readHead(LocalServer &server, Conn &conn) {
    const qsizetype headEnd = findHeadEnd(conn.buffer, conn.scannedTo - 3);
    if (headEnd < 0) {
        conn.scannedTo = conn.buffer.size();
        if (conn.buffer.size() > kMaxHeadBytes)
            answerNow(conn, 431, "Too large");
        return false;
    }
    ParsedHead head = parseHead(conn.buffer, headEnd);
    if (head.kind == ParseOutcome::BadRequestLine) {
        answerNow(conn, 400, "Bad request");
        return false;
    }
    if (head.kind == ParseOutcome::BodyTooLarge) {
        answerNow(conn, 413, "Too large");
        return false;
    }
    conn.decision = decideRoute(server, head.request);
    if (conn.decision.target == RouteDecision::Refuse) {
        conn.handled = true;
        conn.buffer = QByteArray();
        dispatchRoute(server, conn.socket, head.request, conn.decision);
        return false;
    }
    conn.headRead = true;
    conn.request = std::move(head.request);
    conn.bodyLength = head.bodyLength;
    conn.bodyStart = headEnd + 4;
    return true;
}
} // namespace

void acceptPending(LocalServer &server) {
    // Answering a request can run OBS's whole exit, which tears this server down: check before every turn.
    while (server.running && server.listener->hasPendingConnections()) {
        QTcpSocket *socket = server.listener->nextPendingConnection();
        if (!makeRoomForOneMore(server)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto conn = std::make_shared<Conn>();
        conn->socket = socket;
        conn->otherAccount = fromAnotherAccount(server, *socket);
        server.openConnections.push_back(conn);
        const Conn *key = conn.get();
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [&server, socket, key] {
            forget(server, key);
            socket->deleteLater();
        });
        // One sweep for all: a timer per connection would pile up under load, each living its whole lifetime.
        conn->cutAt = QDeadlineTimer(server.limits.connectionLifetimeMs);
        if (!server.lifetimeSweep->isActive())
            server.lifetimeSweep->start();
        QObject::connect(socket, &QIODevice::readyRead, socket,
                         [&server, conn] { readRequest(server, conn); });
        // The request usually comes with the connection: take it now, not on the next pass of the loop.
        // With nothing there yet, Qt only records a timeout; the connection stays open and readyRead comes
        // later.
        socket->waitForReadyRead(0);
    }
}

void readRequest(LocalServer &server, const std::shared_ptr<Conn> &conn) {
    if (!conn->socket || !server.running)
        return;
    // Exactly what arrived: readAll would grow a buffer in steps to find out.
    const QByteArray arrived = conn->socket->read(conn->socket->bytesAvailable());
    if (conn->handled)
        return;
    conn->buffer += arrived;
    if (conn->otherAccount) {
        answerNow(*conn, 403, "Wrong user");
        return;
    }
    if (!conn->headRead && !readHead(server, *conn)) {
        if (!conn->handled) // the head is still coming
            keepWithinByteCap(server, conn);
        return;
    }
    if (conn->buffer.size() - conn->bodyStart < conn->bodyLength) {
        keepWithinByteCap(server, conn);
        return;
    }

    conn->handled = true;
    conn->request.body = conn->buffer.mid(conn->bodyStart, conn->bodyLength);
    conn->buffer = QByteArray();
    dispatchRoute(server, conn->socket, conn->request, conn->decision);
}

void cutExpiredConnections(LocalServer &server) {
    const std::vector<std::shared_ptr<Conn>> open = server.openConnections; // aborting one forgets it
    for (const std::shared_ptr<Conn> &conn : open) {
        if (conn->cutAt.hasExpired() && conn->socket)
            conn->socket->abort();
    }
    if (server.openConnections.empty())
        server.lifetimeSweep->stop();
}

int openConnectionCount(const LocalServer &server) {
    return int(server.openConnections.size());
}

qint64 bufferedRequestBytes(const LocalServer &server) {
    qint64 total = 0;
    for (const std::shared_ptr<Conn> &conn : server.openConnections)
        total += conn->buffer.size();
    return total;
}
