// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/PeerAccount.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Where the kernel's socket diagnostics are missing, the owner comes from /proc/net/tcp and tcp6.
TEST(PeerAccount, OwnerIsReadFromTheExactRowOfEitherTable) {
    const QByteArray tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:38CE 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 11 1\n"
        "   1: 0100007F:D431 0100007F:38CE 01 00000000:00000000 00:00000000 00000000    65534        0 12 1\n"
        "   2: 0100007F:38CE 0100007F:D431 01 00000000:00000000 00:00000000 00000000  1000        0 13 1\n";
    // Another account's IPv6 socket connected to ::ffff:127.0.0.1 shows only in tcp6.
    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue "
        "rx_queue "
        "tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0000000000000000FFFF00000100007F:E001 0000000000000000FFFF00000100007F:38CE 01 "
        "00000000:00000000 00:00000000 00000000  4242        0 14 1\n";
    std::vector<TcpSocketRow> rows = parseTcpTable(tcp);
    const std::vector<TcpSocketRow> rows6 = parseTcpTable(tcp6);
    rows.insert(rows.end(), rows6.begin(), rows6.end());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].state, kTcpEstablished);
    EXPECT_EQ(rows[1].inode, 12u);

    const quint32 loopback = 0x7F000001;
    // The peer's own socket (local end: the peer) is the one that tells, not the server's side of it.
    EXPECT_EQ(peerOwnerInTcpTable(rows, {loopback, 0xD431, loopback, 0x38CE}), 65534u);
    EXPECT_EQ(peerOwnerInTcpTable(rows, {loopback, 0xE001, loopback, 0x38CE}), 4242u);
    EXPECT_EQ(peerOwnerInTcpTable(rows, {loopback, 0xD432, loopback, 0x38CE}), std::nullopt);
    EXPECT_TRUE(parseTcpTable("garbage\n\n   0: 0100007F:zz 0100007F:38CE 01 0 0 0 1 0 1\n").empty());
}

// The kernel's own table places a live loopback peer, and refuses to place one that is not there.
TEST(PeerAccount, TheKernelPlacesALivePeerAndNoMissingOne) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0), client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    sockaddr_in clientEnd = {};
    length = sizeof clientEnd;
    ASSERT_EQ(getsockname(client, reinterpret_cast<sockaddr *>(&clientEnd), &length), 0);

    const PeerAccounts accounts;
    const quint32 loopback = INADDR_LOOPBACK;
    const quint16 serverPort = ntohs(address.sin_port), clientPort = ntohs(clientEnd.sin_port);
    EXPECT_EQ(accounts.of({loopback, clientPort, loopback, serverPort}), PeerAccount::Same);
    EXPECT_EQ(accounts.of({loopback, quint16(clientPort + 1), loopback, serverPort}), PeerAccount::NotListed);
    close(client);
    close(listener);
}
