#include "server/PeerAccount.h"

#include <gtest/gtest.h>

// Where the kernel's socket diagnostics are missing, the owner comes from /proc/net/tcp.
TEST(PeerAccount, OwnerIsReadFromTheExactLineOfTheProcTable) {
    const QByteArray table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:38CE 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 11 1\n"
        "   1: 0100007F:D431 0100007F:38CE 01 00000000:00000000 00:00000000 00000000    65534        0 12 1\n"
        "   2: 0100007F:38CE 0100007F:D431 01 00000000:00000000 00:00000000 00000000  1000        0 13 1\n";
    const quint32 loopback = 0x7F000001;
    // The peer's own socket (local end: the peer) is the one that tells, not the server's side of it.
    EXPECT_EQ(peerOwnerInProcNetTcp(table, {loopback, 0xD431, loopback, 0x38CE}), 65534u);
    EXPECT_EQ(peerOwnerInProcNetTcp(table, {loopback, 0xD432, loopback, 0x38CE}), std::nullopt);
    EXPECT_EQ(peerOwnerInProcNetTcp("garbage\n\n", {loopback, 0xD431, loopback, 0x38CE}), std::nullopt);
}
