// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/SocketTable.h"

#include <QtGlobal>
#include <optional>
#include <vector>

// Which account owns the far end of a loopback TCP connection to this process: the one this process runs
// as, another one, none that the kernel's socket table lists (the peer is gone or hidden: refused like
// another account), or unknown where the system does not tell (then everyone is served, as before).
enum class PeerAccount { Same, Other, NotListed, Unknown };

// The connection as the server sees it: the peer's IPv4 address and port, and the server's own.
struct LoopbackConnection {
    quint32 peerAddress = 0;
    quint16 peerPort = 0;
    quint32 localAddress = 0;
    quint16 localPort = 0;
};

// The kernel's socket table, asked through one socket kept for a server's run.
class PeerAccounts {
public:
    PeerAccounts();
    ~PeerAccounts();
    PeerAccounts(const PeerAccounts &) = delete;
    PeerAccounts &operator=(const PeerAccounts &) = delete;

    PeerAccount of(const LoopbackConnection &connection) const;

private:
    int diag_ = -1;
};

// The owner (uid) of the peer's socket among the rows of the kernel's TCP tables: the row whose local end is
// the peer and whose remote end is the server, over IPv4 or IPv6 (::ffff:127.0.0.1).
std::optional<quint32> peerOwnerInTcpTable(const std::vector<TcpSocketRow> &rows,
                                           const LoopbackConnection &connection);
