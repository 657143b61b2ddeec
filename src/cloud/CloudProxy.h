#pragma once

#include <QString>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Forwards a page request to the cloud (toCloud) or the desktop app and answers with what comes back.
void proxyRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                  const QString &targetUrl, bool toCloud);
