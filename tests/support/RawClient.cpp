// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/RawClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

Exchange exchange(quint16 port, const QList<QByteArray> &pieces, int timeoutMs) {
    Exchange result;
    // The loop outlives the socket, whose destructor may still signal it.
    QEventLoop loop;
    QTcpSocket socket;
    QObject::connect(&socket, &QIODevice::readyRead, [&] { result.received += socket.readAll(); });
    QObject::connect(&socket, &QAbstractSocket::disconnected, [&] {
        result.received += socket.readAll();
        result.closedByPeer = true;
        loop.quit();
    });
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, [&](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return result;
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        socket.flush();
        runEventLoopFor(20);
    }
    if (!result.closedByPeer)
        loop.exec();
    return result;
}

Exchange exchange(quint16 port, const QByteArray &request, int timeoutMs) {
    return exchange(port, QList<QByteArray>{request}, timeoutMs);
}

QByteArray requestFor(quint16 port, const QByteArray &method, const QByteArray &target,
                      const QByteArray &extraHeaders) {
    return method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" +
           extraHeaders + "\r\n";
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void runEventLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray expectedResponse(const QByteArray &statusLine, const QByteArray &contentType,
                            const QByteArray &body) {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer"
           "\r\nConnection: close\r\n\r\n" +
           body;
}

QByteArray responseBody(const QByteArray &response) {
    const int headEnd = response.indexOf("\r\n\r\n");
    return headEnd < 0 ? QByteArray() : response.mid(headEnd + 4);
}
