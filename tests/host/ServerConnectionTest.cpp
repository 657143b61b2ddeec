#include "host/ModuleRun.h"
#include "support/RawClient.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

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
    EXPECT_EQ(send(withHost("GET", "/%2e%2e/x")),
              expectedResponse("404 Not Found", "text/plain", "Not found"));
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

TEST_F(ServerRun, SilentPeerIsCutAfterThirtySeconds) {
    QElapsedTimer sinceConnect;
    sinceConnect.start();
    const Exchange result = exchange(port, QList<QByteArray>{"GET / HTTP/1.1\r\nHost: "}, 40000);
    EXPECT_TRUE(result.closedByPeer);
    EXPECT_TRUE(result.received.isEmpty());
    // Cut by the lifetime limit, not earlier.
    EXPECT_GE(sinceConnect.elapsed(), 29000);
}
