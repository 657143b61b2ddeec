#pragma once

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Answers one request below "/bridge/": reads OBS's state or carries out one of the page's actions.
void handleBridgeAction(LocalServer &server, QTcpSocket *socket, const HttpRequest &request);
