// SPDX-License-Identifier: GPL-2.0-or-later
// What looking up the account of each connection's far end costs the server: state and refused requests,
// each on a new connection, with the lookup and without it, in turns in the same run. Prints one line a
// kind for bench/run.py: "account check <kind>: <with>/s <without>/s".
#include "ServeRequests.h"
#include "host/BridgeRun.h"
#include "server/PeerAccount.h"

#include <QElapsedTimer>
#include <cstdio>
#include <memory>

namespace {
int fromEnvironment(const char *name, int otherwise) {
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : otherwise;
}

class AccountCheckCost : public BridgeRun {};
} // namespace

TEST_F(AccountCheckCost, StateAndRefusedRates) {
    start();
    const int count = fromEnvironment("ORVANE_BENCH_COUNT", 2000);
    const int rounds = fromEnvironment("ORVANE_BENCH_ROUNDS", 10);
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const QByteArray kinds[][2] = {{"state", "GET /bridge/state HTTP/1.1\r\n" + host +
                                                 "x-ov-bridge: " + server->bridgeKey.toUtf8() + "\r\n\r\n"},
                                   {"refused", "GET /bridge/state HTTP/1.1\r\n" + host + "\r\n"}};
    std::unique_ptr<PeerAccounts> taken; // the lookup, while it is taken out
    for (const auto &kind : kinds) {
        ASSERT_EQ(serveRequests(port, kind[1], 50), 50); // warm-up
        double seconds[2] = {0, 0};                      // [with, without]
        for (int round = 0; round < rounds * 2; ++round) {
            const bool without = (round + round / 2) % 2 == 1; // ABBA: neither side always goes first
            if (without != !server->peerAccounts)
                std::swap(server->peerAccounts, taken);
            QElapsedTimer clock;
            clock.start();
            ASSERT_EQ(serveRequests(port, kind[1], count), count);
            seconds[without] += double(clock.nsecsElapsed()) / 1e9;
        }
        if (!server->peerAccounts)
            std::swap(server->peerAccounts, taken);
        printf("account check %s: %.0f/s %.0f/s\n", kind[0].constData(), count * rounds / seconds[0],
               count * rounds / seconds[1]);
    }
}
