// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelaySockets.h"

#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
TcpSocketRow connection(quint64 inode, quint16 port, int state = kTcpEstablished) {
    TcpSocketRow row;
    row.remoteAddress = QHostAddress(QStringLiteral("127.0.0.1"));
    row.remotePort = port;
    row.state = state;
    row.inode = inode;
    return row;
}

QByteArray callLine(long number, quint64 first, quint64 third, quint64 stackPointer) {
    return QByteArray::number(qlonglong(number)) + " 0x" + QByteArray::number(first, 16) + " 0x80 0x" +
           QByteArray::number(third, 16) + " 0x0 0x0 0x0 0x" + QByteArray::number(stackPointer, 16) +
           " 0x7f0000001000\n";
}
} // namespace

// The relay's socket is taken only when it is the one new socket of the process to its server: OBS's own
// stream reconnecting there meanwhile makes it unknown, never a guess.
TEST(RelaySockets, TheRelaysSocketIsTheOnlyNewOneToItsServer) {
    SocketQuery query{{10, 11, 20, 21, 22}, {10, 11}, 1935, {}, false};
    std::vector<TcpSocketRow> rows{connection(10, 1935), connection(20, 1935), connection(21, 443),
                                   connection(22, 1935, kTcpSynSent), connection(30, 1935)};
    EXPECT_EQ(soleNewSocket(rows, query), 20u); // 10 is older, 30 another process's, 22 not connected yet
    // A stop cuts the one attempt still connecting; of 20 and 22 neither, but at OBS's exit every one the
    // server never answered, and no connection.
    EXPECT_TRUE(attemptsToCut(rows, query, false).empty());
    EXPECT_EQ(attemptsToCut(rows, query, true), std::vector<quint64>({22}));
    query.addresses = {QHostAddress(QStringLiteral("::ffff:127.0.0.1"))};
    rows[3].remoteAddress = QHostAddress(QStringLiteral("127.0.0.2")); // 22 goes to another host
    EXPECT_EQ(soleNewSocket(rows, query), 20u);
    EXPECT_EQ(attemptsToCut(rows, query, false), std::vector<quint64>({20}));
    query.port = 0;
    EXPECT_EQ(soleNewSocket(rows, query), 0u);
    query.port = 1935;
    rows.push_back(connection(22, 1935)); // a second new one, as from OBS's own reconnect
    EXPECT_EQ(soleNewSocket(rows, query), 0u);
}

// A stop that joins the relay's thread leads to the socket that thread is blocked on, through joins
// only: a futex that merely holds a thread's id, away from that thread's stack, leads nowhere.
TEST(RelaySockets, AStopIsFollowedThroughJoinsToTheSocketItWaitsOn) {
    const quint64 joinedStack = 0x7f0000100000;
    std::map<int, QByteArray> threads{
        {100, callLine(SYS_futex, joinedStack + 0x8000, 200, 0x7f0000900000)}, // the stopper joins 200
        {200, callLine(SYS_futex, joinedStack + 0x9000, 300, joinedStack)},    // 200 joins 300
        {300, callLine(SYS_connect, 17, 0, joinedStack)},
    };
    const auto callOf = [&threads](int tid) {
        return parseBlockedCall(threads[tid]);
    };
    EXPECT_EQ(socketWaitedOnBy(100, callOf), 17);

    threads[300] = callLine(SYS_recvfrom, 23, 0, joinedStack); // accepted, never answered
    EXPECT_EQ(socketWaitedOnBy(100, callOf), 23);
    threads[300] = callLine(SYS_futex, 0x1000, 0, joinedStack); // waits on something else
    EXPECT_EQ(socketWaitedOnBy(100, callOf), -1);
    threads[300] = "running\n";
    EXPECT_EQ(socketWaitedOnBy(100, callOf), -1);
    threads[200] = callLine(SYS_futex, 0x1000, 300, joinedStack); // a lock word that holds an id
    threads[300] = callLine(SYS_connect, 17, 0, joinedStack);
    EXPECT_EQ(socketWaitedOnBy(100, callOf), -1);
    EXPECT_EQ(socketWaitedOnBy(400, callOf), -1); // no such thread

    // A real connection at the chain's end is cut only while the thread still waits on its number once the
    // copy is taken: a thread that has moved on meanwhile may have left the number to another socket.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), size), 0);
    const quint16 port = ntohs(address.sin_port);
    threads[200] = callLine(SYS_futex, joinedStack + 0x9000, 300, joinedStack);
    threads[300] = callLine(SYS_recvfrom, quint64(client), 0, joinedStack);
    int looksAt300 = 0;
    const auto movesOn = [&threads, &looksAt300](int tid) {
        return parseBlockedCall(tid == 300 && ++looksAt300 > 1 ? QByteArray("running\n") : threads[tid]);
    };
    char byte = 0;
    EXPECT_FALSE(cutSocketWaitedOnBy(100, port, movesOn));
    EXPECT_FALSE(cutSocketWaitedOnBy(100, quint16(port + 1), callOf)) << "another server's port";
    EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), -1) << "left alone";
    EXPECT_TRUE(cutSocketWaitedOnBy(100, port, callOf));
    EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), 0) << "shut down: a call blocked on it wakes";
    close(client);
    close(listener);
    EXPECT_EQ(relayServerPort(QStringLiteral("rtmps://live.example/app")), 443);
    EXPECT_EQ(relayServerPort(QStringLiteral("rtmp://127.0.0.2/live")), 1935);
}
