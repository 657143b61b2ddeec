// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "server/RouteTargets.h"
#include "server/ServerLimits.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QTcpServer;
class QTimer;
class PeerAccounts;
struct Conn;

// The loopback HTTP server of one OBS run and the configuration it carries.
struct LocalServer {
    explicit LocalServer(RouteTargets routeTargets = {});
    ~LocalServer();
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    // Reads the configuration, draws the bridge key and listens on 127.0.0.1; false when no port is free.
    bool start();
    // Ends the server's work: closes the port, cuts every connection and pending reply, stops the sweep.
    // OBS can raise its exit event from inside the server's own handling (OBS 29.0.2 closes from its SIGINT
    // handler), so nothing is freed here: the objects go with the server.
    void teardown();

    std::unique_ptr<QTcpServer> listener;
    std::unique_ptr<QNetworkAccessManager> network;
    std::unique_ptr<PeerAccounts> peerAccounts; // who owns each connection's far end
    std::unique_ptr<QTimer> lifetimeSweep; // ends connections that outlive their lifetime, while any are open
    RouteTargets routes;
    ServerLimits limits;
    std::vector<std::shared_ptr<Conn>> openConnections; // in the order they were accepted
    QString bridgeKey;
    QString cloudBase;
    QString appBase;
    QString token;              // the signed-in account's bearer token; empty when signed out
    qint64 cloudFailedAtMs = 0; // when the cloud last failed to give a dock page file; 0: it answered since
    uint16_t port = 0;
    bool running = false; // listening; false once torn down: loops that call out stop at their next turn
    bool peerAccountsUnknown = false; // the system could not tell a peer's account (said once a run)
};

inline constexpr uint16_t kFirstServerPort = 14590;
inline constexpr uint16_t kLastServerPort = 14599;
