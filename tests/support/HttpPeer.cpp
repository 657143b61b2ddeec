// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/HttpPeer.h"

#include <QFile>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace {
bool parseRequest(const QByteArray &buffer, HttpPeer::Request &request) {
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    request.method = words.value(0);
    request.target = words.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const int length = request.headers.value("content-length").toInt();
    if (buffer.size() - headEnd - 4 < length)
        return false;
    request.body = buffer.mid(headEnd + 4, length);
    return true;
}
} // namespace

HttpPeer::HttpPeer() {
    listener_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&listener_, &QTcpServer::newConnection, &listener_, [this] { accept(); });
    rule_ = [](const Request &) {
        return Answer{404, "Not here", {}, false, {}};
    };
}

HttpPeer::~HttpPeer() = default;

quint16 HttpPeer::port() const {
    return listener_.serverPort();
}

QString HttpPeer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpPeer::setRule(Rule rule) {
    rule_ = std::move(rule);
    delayMs_ = 0;
}

void HttpPeer::answerDelayed(int delayMs, Rule rule) {
    rule_ = std::move(rule);
    delayMs_ = delayMs;
}

void HttpPeer::serveDockFolder(const QString &folder) {
    setRule([folder](const Request &request) {
        static const QByteArray prefix("/web/obs-dock/");
        QFile file(folder + '/' + QString::fromUtf8(request.target.mid(prefix.size())));
        if (!request.target.startsWith(prefix) || !file.open(QIODevice::ReadOnly))
            return Answer{404, "Not here", {}, false, {}};
        return Answer{200, file.readAll(), {}, false, {}};
    });
}

void HttpPeer::close() {
    listener_.close();
}

void HttpPeer::accept() {
    while (QTcpSocket *socket = listener_.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            Request request;
            if (buffer->isEmpty() || !parseRequest(*buffer, request))
                return;
            buffer->clear();
            received << request;
            if (delayMs_ > 0)
                QTimer::singleShot(delayMs_, socket, [this, socket, request] { respond(socket, request); });
            else
                respond(socket, request);
        });
    }
}

void HttpPeer::respond(QTcpSocket *socket, const Request &request) {
    const Answer answer = rule_(request);
    if (answer.stall)
        return;
    if (!answer.raw.isEmpty()) {
        socket->write(answer.raw);
        socket->disconnectFromHost();
        return;
    }
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(answer.status) + " Answer\r\n";
    for (const auto &header : answer.headers)
        bytes += header.first + ": " + header.second + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    bytes += answer.body;
    socket->write(bytes);
    socket->disconnectFromHost();
}
