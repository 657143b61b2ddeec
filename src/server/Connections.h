#pragma once

#include <QByteArray>

class QTcpSocket;
struct LocalServer;

// Per-connection state: what arrived so far, and whether the one request was already answered or routed.
struct Conn {
    QByteArray buffer;
    bool handled = false;
};

inline constexpr int kConnectionLifetimeMs = 30000;

// Takes over every connection waiting on the server's listener.
void acceptPending(LocalServer &server);

// Collects the bytes of a connection's request and hands it on once complete.
void readRequest(LocalServer &server, QTcpSocket *socket, Conn &conn);
