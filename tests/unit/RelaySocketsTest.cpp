// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelaySockets.h"

#include <gtest/gtest.h>

// At exit only the relay's own attempt is cut: never OBS's stream on the same port of another host, nor a
// connection that has heard from its server, nor anything when the address names port 0.
TEST(RelaySockets, OnlyAConnectingSocketToTheRelayServerIsTheRelaysAttempt) {
    const QList<QHostAddress> relayServer{QHostAddress(QStringLiteral("127.0.0.2"))};
    TcpSocketRow row;
    row.remoteAddress = QHostAddress(QStringLiteral("::ffff:127.0.0.2"));
    row.remotePort = 1935;
    row.state = kTcpSynSent;
    EXPECT_TRUE(isAttemptToRelayServer(row, relayServer, 1935, false));
    row.state = kTcpEstablished;
    EXPECT_TRUE(isAttemptToRelayServer(row, relayServer, 1935, true));   // accepted, never answered
    EXPECT_FALSE(isAttemptToRelayServer(row, relayServer, 1935, false)); // the server has answered
    row.state = 6;                                                       // TIME_WAIT
    EXPECT_FALSE(isAttemptToRelayServer(row, relayServer, 1935, true));

    row.state = kTcpSynSent;
    row.remoteAddress = QHostAddress(QStringLiteral("127.0.0.1")); // OBS's own server, same port
    EXPECT_FALSE(isAttemptToRelayServer(row, relayServer, 1935, true));
    row.remoteAddress = QHostAddress(QStringLiteral("127.0.0.2"));
    EXPECT_FALSE(isAttemptToRelayServer(row, relayServer, 443, true));
    row.remotePort = 0;
    EXPECT_FALSE(isAttemptToRelayServer(row, relayServer, 0, true));
    EXPECT_FALSE(isAttemptToRelayServer(row, {}, 0, true));
    EXPECT_EQ(relayServerPort(QStringLiteral("rtmps://live.example/app")), 443);
    EXPECT_EQ(relayServerPort(QStringLiteral("rtmp://127.0.0.2/live")), 1935);
}
