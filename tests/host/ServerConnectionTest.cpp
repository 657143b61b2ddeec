// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "server/Connections.h"
#include "support/RawClient.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <memory>
#include <vector>

namespace {
class ServerRun : public ModuleRun {
protected:
    void SetUp() override {
        ModuleRun::SetUp();
        port = finishLoading().port;
        key = runningLocalServer()->bridgeKey.toUtf8();
    }

    QByteArray send(const QByteArray &request) { return exchange(port, request).received; }
    QByteArray withHost(const QByteArray &method, const QByteArray &target, const QByteArray &extra = {}) {
        return requestFor(port, method, target, extra);
    }

    quint16 port = 0;
    QByteArray key;
};
} // namespace

TEST_F(ServerRun, RefusesMalformedAndOversizedRequestsExactly) {
    const QByteArray tooLarge = expectedResponse("413 Payload Too Large", "text/plain", "Too large");
    EXPECT_EQ(send("POST /bridge/state HTTP/1.1\r\nContent-Length: 4194305\r\n\r\n"), tooLarge);
    EXPECT_EQ(send("POST /bridge/state HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), tooLarge);
    EXPECT_EQ(send("GET\r\nHost: 127.0.0.1\r\n\r\n"),
              expectedResponse("400 Bad Request", "text/plain", "Bad request"));

    QByteArray endlessHead = "GET / HTTP/1.1\r\nX-Fill: ";
    endlessHead += QByteArray(70000, 'a');
    EXPECT_EQ(send(endlessHead),
              expectedResponse("431 Request Header Fields Too Large", "text/plain", "Too large"));
}

TEST_F(ServerRun, RouterRefusalsGoOutByteForByte) {
    EXPECT_EQ(send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"),
              expectedResponse("403 Forbidden", "text/plain", "Wrong host"));
    EXPECT_EQ(send("GET / HTTP/1.1\r\n\r\n"), expectedResponse("403 Forbidden", "text/plain", "Wrong host"));
    EXPECT_EQ(send(withHost("GET", "/a/../b")),
              expectedResponse("400 Bad Request", "text/plain", "Bad path"));
    EXPECT_EQ(send(withHost("GET", "/a\\b")), expectedResponse("400 Bad Request", "text/plain", "Bad path"));
    EXPECT_EQ(
        send(withHost("GET", "/bridge/state", "x-ov-bridge: " + key.toUpper() + "\r\n")),
        expectedResponse("403 Forbidden", "application/json; charset=utf-8", "{\"error\":\"Not allowed.\"}"));
    EXPECT_EQ(send(withHost("PUT", "/index.html")),
              expectedResponse("405 Method Not Allowed", "text/plain", "Method not allowed"));
    // Judged as decoded: what reaches a far side must be what was checked.
    for (const QByteArray path : {"/%2e%2e/x", "/a/%2E/b", "/a%5cb", "/a%0d%0ab", "/.%2e/x"})
        EXPECT_EQ(send(withHost("GET", path)), expectedResponse("400 Bad Request", "text/plain", "Bad path"))
            << path.constData();
}

TEST_F(ServerRun, BodyArrivingInPiecesIsRoutedOnce) {
    const QByteArray head = "POST /bridge/x HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                            "\r\nx-ov-bridge: " + key + "\r\nContent-Length: 6\r\n\r\n";
    const Exchange result = exchange(port, QList<QByteArray>{head.left(10), head.mid(10), "abc", "def"});
    EXPECT_TRUE(result.closedByPeer);
    EXPECT_EQ(result.received.count("HTTP/1.1 "), 1);
}

TEST_F(ServerRun, PipelinedSecondRequestIsDiscarded) {
    const QByteArray first = withHost("POST", "/");
    const Exchange result = exchange(port, first + withHost("PUT", "/"));
    EXPECT_EQ(result.received,
              expectedResponse("405 Method Not Allowed", "text/plain", "Method not allowed"));
    EXPECT_TRUE(result.closedByPeer);
}

TEST_F(ServerRun, AcceptsOnlyLoopbackIPv4) {
    QTcpSocket overIPv6;
    overIPv6.connectToHost(QHostAddress::LocalHostIPv6, port);
    EXPECT_FALSE(overIPv6.waitForConnected(2000));
}

TEST_F(ServerRun, SilentPeerIsCutAtTheConnectionLifetime) {
    EXPECT_EQ(ServerLimits().connectionLifetimeMs, 30000);
    runningLocalServer()->limits.connectionLifetimeMs = 700;
    QElapsedTimer sinceConnect;
    sinceConnect.start();
    const Exchange result = exchange(port, QList<QByteArray>{"GET / HTTP/1.1\r\nHost: "}, 20000);
    EXPECT_TRUE(result.closedByPeer);
    EXPECT_TRUE(result.received.isEmpty());
    // Cut by the lifetime limit, not earlier.
    EXPECT_GE(sinceConnect.elapsed(), 600);
}

TEST_F(ServerRun, RequestsAreJudgedBeforeTheirBodyArrives) {
    // Announced bodies that never come: the refusal cannot wait for them.
    EXPECT_EQ(
        exchange(port, "POST /x HTTP/1.1\r\nHost: evil:1\r\nContent-Length: 4000000\r\n\r\n", 5000).received,
        expectedResponse("403 Forbidden", "text/plain", "Wrong host"));
    EXPECT_EQ(
        responseBody(
            exchange(port, withHost("POST", "/bridge/start", "Content-Length: 4000000\r\n"), 5000).received),
        "{\"error\":\"Not allowed.\"}");
    EXPECT_EQ(frontendStreamingStarts(), 0);
}

TEST_F(ServerRun, FloodsOfIdleConnectionsOrHeldBytesLeaveRoomForThePage) {
    LocalServer &server = *runningLocalServer();
    server.limits.maxConnections = 16;
    server.limits.maxBufferedBytes = 1024 * 1024;
    const QByteArray state = withHost("GET", "/bridge/state", "x-ov-bridge: " + key + "\r\n");

    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < 200; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->connectToHost(QHostAddress::LocalHost, port);
        // The server accepts while the event loop runs; the backlog is short.
        ASSERT_TRUE(
            waitUntil([&] { return flood.back()->state() == QAbstractSocket::ConnectedState; }, 5000));
        flood.back()->write("GET / HTTP/1.1\r\n");
        flood.back()->flush();
    }
    runEventLoopFor(200);
    EXPECT_LE(openConnectionCount(server), 16);
    EXPECT_TRUE(exchange(port, state).received.startsWith("HTTP/1.1 200 OK"));

    // Bodies that would hold more than the cap: the oldest go first.
    const QByteArray bigHead =
        withHost("POST", "/bridge/start", "x-ov-bridge: " + key + "\r\nContent-Length: 4000000\r\n");
    flood.clear();
    for (int i = 0; i < 8; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->connectToHost(QHostAddress::LocalHost, port);
        // The server accepts while the event loop runs; the backlog is short.
        ASSERT_TRUE(
            waitUntil([&] { return flood.back()->state() == QAbstractSocket::ConnectedState; }, 5000));
        flood.back()->write(bigHead + QByteArray(300000, 'x'));
        flood.back()->flush();
        runEventLoopFor(30);
    }
    runEventLoopFor(300);
    EXPECT_LE(bufferedRequestBytes(server), server.limits.maxBufferedBytes);
    EXPECT_TRUE(exchange(port, state).received.startsWith("HTTP/1.1 200 OK"));

    // Everything comes back once the clients are gone.
    flood.clear();
    EXPECT_TRUE(waitUntil([&] { return openConnectionCount(server) == 0; }, 5000));
    EXPECT_EQ(bufferedRequestBytes(server), 0);
    EXPECT_EQ(frontendStreamingStarts(), 0);
}
