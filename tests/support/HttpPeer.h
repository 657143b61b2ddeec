// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QTcpServer>
#include <functional>

// A real HTTP/1.1 server on a loopback port, standing for the cloud or the desktop app in host tests.
// It records every request it receives and answers by the rule the test sets.
class HttpPeer {
public:
    struct Request {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // lower-cased names
        QByteArray body;
    };
    struct Answer {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool stall = false; // never answer
        QByteArray raw;     // when set: these exact bytes, then the connection closes
    };
    using Rule = std::function<Answer(const Request &)>;

    HttpPeer();
    ~HttpPeer();

    quint16 port() const;
    QString baseUrl() const;

    void setRule(Rule rule);
    // Files of folder answer GET "/web/obs-dock/<path>"; anything else is 404.
    void serveDockFolder(const QString &folder);
    void answerDelayed(int delayMs, Rule rule);
    // Closes the listener; connections are refused from then on.
    void close();

    QList<Request> received;

private:
    void accept();
    void respond(class QTcpSocket *socket, const Request &request);

    QTcpServer listener_;
    Rule rule_;
    int delayMs_ = 0;
};
