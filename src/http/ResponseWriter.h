// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QTcpSocket;

QByteArray reasonPhrase(int status);

// The complete bytes of one response: status line, fixed headers, body.
QByteArray responseBytes(int status, const QByteArray &contentType, const QByteArray &body);

// Sends one response and closes the connection; a null socket (connection already gone) is ignored.
void writeResponse(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body);
void writeJson(QTcpSocket *socket, int status, const QJsonObject &object);

QByteArray compactJson(const QJsonObject &object);
QJsonObject errorObject(const QString &message);
QJsonObject okObject();

inline constexpr const char *kJsonContentType = "application/json; charset=utf-8";
