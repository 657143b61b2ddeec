#pragma once

#include <QString>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Answers one request below "/bridge/": reads OBS's state or carries out one of the page's actions.
void handleBridgeAction(LocalServer &server, QTcpSocket *socket, const HttpRequest &request);

// Whether "open" may hand url to the desktop browser: only pages of the cloud itself.
bool isCloudPage(const QString &url, const QString &cloudBase);
