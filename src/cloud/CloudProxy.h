// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QPointer>
#include <QString>

class QNetworkReply;
class QTcpSocket;
struct HttpRequest;
struct LocalServer;
struct RouteDecision;

// What one forwarded call carries from the request to its reply.
struct ProxyCall {
    LocalServer *server = nullptr;
    QNetworkReply *reply = nullptr;
    QPointer<QTcpSocket> connection; // empty once the page's connection is gone
    bool toCloud = false;
    bool linkPoll = false; // an answer about a sign-in link: it may carry a token, never for the page
    bool logout = false;   // any answer signs the user out
};

// Forwards a page request to the cloud or the desktop app, as the router decided; the answer is written by
// onProxyReply.
void proxyRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                  const RouteDecision &decision);
void onProxyReply(const ProxyCall &call);
