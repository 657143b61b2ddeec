#pragma once

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Answers one request below "/bridge/".
void handleBridgeAction(LocalServer &server, QTcpSocket *socket, const HttpRequest &request);
