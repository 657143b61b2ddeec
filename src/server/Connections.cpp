#include "server/Connections.h"

#include "http/RequestParser.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"
#include "server/Router.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

void acceptPending(LocalServer &server) {
    while (server.listener->hasPendingConnections()) {
        QTcpSocket *socket = server.listener->nextPendingConnection();
        auto conn = std::make_shared<Conn>();
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        // Every connection ends 30 s after it was accepted, busy or idle.
        QTimer::singleShot(kConnectionLifetimeMs, socket, [socket] { socket->abort(); });
        QObject::connect(socket, &QIODevice::readyRead, socket,
                         [&server, socket, conn] { readRequest(server, socket, *conn); });
    }
}

void readRequest(LocalServer &server, QTcpSocket *socket, Conn &conn) {
    if (conn.handled) {
        socket->readAll();
        return;
    }
    conn.buffer += socket->readAll();
    const ParseOutcome outcome = parseRequest(conn.buffer);
    if (outcome.kind == ParseOutcome::NeedMore)
        return;

    conn.handled = true;
    conn.buffer.clear();
    switch (outcome.kind) {
    case ParseOutcome::HeadTooLarge:
        writeResponse(socket, 431, "text/plain", "Too large");
        break;
    case ParseOutcome::BadRequestLine:
        writeResponse(socket, 400, "text/plain", "Bad request");
        break;
    case ParseOutcome::BodyTooLarge:
        writeResponse(socket, 413, "text/plain", "Too large");
        break;
    case ParseOutcome::Complete:
        route(server, socket, outcome.request);
        break;
    case ParseOutcome::NeedMore:
        break;
    }
}
