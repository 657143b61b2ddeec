// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/ResponseWriter.h"

#include <QJsonDocument>
#include <QTcpSocket>

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 502:
        return "Bad Gateway";
    default:
        return "Status";
    }
}

QByteArray responseBytes(int status, const QByteArray &contentType, const QByteArray &body) {
    QByteArray bytes;
    bytes.reserve(256 + body.size());
    bytes += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    bytes += "Content-Type: " + contentType + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    bytes += "Cache-Control: no-store\r\n"
             "X-Content-Type-Options: nosniff\r\n"
             "Referrer-Policy: no-referrer\r\n"
             "Connection: close\r\n\r\n";
    bytes += body;
    return bytes;
}

void writeResponse(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body) {
    if (!socket)
        return;
    socket->write(responseBytes(status, contentType, body));
    // Sent now rather than on the next pass of OBS's event loop, so the close below is immediate too.
    socket->flush();
    socket->disconnectFromHost();
}

QByteArray compactJson(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void writeJson(QTcpSocket *socket, int status, const QJsonObject &object) {
    writeResponse(socket, status, kJsonContentType, compactJson(object));
}

QJsonObject errorObject(const QString &message) {
    return QJsonObject{{QStringLiteral("error"), message}};
}

QJsonObject okObject() {
    return QJsonObject{{QStringLiteral("ok"), true}};
}
