// SPDX-License-Identifier: GPL-2.0-or-later
// What the relay's own connection adds between libobs and the relay's server: the delay of the stream's bytes
// (sent to its port on 127.0.0.1, received by a server on loopback) and the process's CPU, against the same
// stream sent to that server directly, in alternating windows of the same run. Prints one line for
// bench/run.py: "relay connection: delay p50 <through> ms <direct> ms, cpu <through> % <direct> %".
#include "relay/RelayConnection.h"
#include "support/RawClient.h"
#include "support/RtmpClientStart.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {
constexpr int kChunk = 4096;
constexpr int kChunkEveryMs = 13; // 2.5 Mbit/s
const QByteArray kMarker = "ORVANEMK";

qint64 nowNs() {
    timespec time = {};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

double cpuSeconds() {
    timespec time = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

// Streams for ms from a client connected to port, starting as an RTMP client does; the server's side of it
// records each chunk's delay (ns).
void stream(QTcpServer &server, quint16 port, const QByteArray &prefix, int ms, std::vector<qint64> &delays) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }, 5000));
    std::unique_ptr<QTcpSocket> far(server.nextPendingConnection());
    client.write(prefix);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    for (qint64 sent = 0; clock.elapsed() < ms;) {
        if (clock.elapsed() >= sent * kChunkEveryMs) {
            const QByteArray chunk = kMarker + QByteArray::number(nowNs()).leftJustified(24, ' ');
            client.write(chunk.leftJustified(kChunk, 'v'));
            ++sent;
        }
        runEventLoopFor(1);
        received += far->readAll();
        for (int at; (at = received.indexOf(kMarker)) >= 0 && received.size() >= at + 32;) {
            delays.push_back(nowNs() - received.mid(at + 8, 24).trimmed().toLongLong());
            received.remove(0, at + 32);
        }
    }
}
} // namespace

TEST(RelayConnectionCost, DelayAndCpuAgainstTheServerDirectly) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("rtmp://127.0.0.1:%1/live").arg(server.serverPort());
    const int windowMs = qMax(500, qEnvironmentVariableIntValue("ORVANE_BENCH_WINDOW_MS"));
    const int rounds = qMax(1, qEnvironmentVariableIntValue("ORVANE_BENCH_ROUNDS"));
    std::vector<qint64> delays[2]; // [through the connection, direct]
    double cpu[2] = {0, 0};
    for (int round = 0; round < rounds * 2; ++round) {
        const bool direct = (round + round / 2) % 2 == 1; // ABBA: neither side always goes first
        const double before = cpuSeconds();
        if (direct) {
            stream(server, server.serverPort(), rtmpClientStart(url.toUtf8()), windowMs, delays[1]);
        } else {
            bool connected = false;
            auto connection =
                RelayConnection::open(url, [&](RelayConnection::Outcome outcome, const QString &) {
                    connected = connected || outcome == RelayConnection::Outcome::Connected;
                });
            ASSERT_TRUE(waitUntil([&] { return connected; }, 5000));
            // The server's side is the connection's own: the client's bytes reach it through the connection.
            stream(server, QUrl(connection->localUrl()).port(),
                   rtmpClientStart(connection->localUrl().toUtf8()), windowMs, delays[0]);
            connection->close();
        }
        cpu[direct] += cpuSeconds() - before;
    }
    for (auto &side : delays) {
        ASSERT_FALSE(side.empty());
        std::sort(side.begin(), side.end());
    }
    const double seconds = rounds * windowMs / 1000.0;
    printf("relay connection: delay p50 %.2f ms %.2f ms, cpu %.2f %% %.2f %%\n",
           double(delays[0][delays[0].size() / 2]) / 1e6, double(delays[1][delays[1].size() / 2]) / 1e6,
           100 * cpu[0] / seconds, 100 * cpu[1] / seconds);
}
