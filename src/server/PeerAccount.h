#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// Which account owns the far end of a loopback TCP connection to this process: the one this process runs
// as, another one, or unknown where the system does not tell (then everyone is served, as before).
enum class PeerAccount { Same, Other, Unknown };

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

// The owner (uid) of the peer's socket in the text of /proc/net/tcp: the line whose local end is the peer
// and whose remote end is the server.
std::optional<quint32> peerOwnerInProcNetTcp(const QByteArray &table, const LoopbackConnection &connection);
