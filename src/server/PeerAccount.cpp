#include "server/PeerAccount.h"

#include <QFile>
#include <QList>
#include <QtEndian>

namespace {
// "0100007F:1F90" on x86: an IPv4 address as the kernel stores it (network order, printed as a native
// number) and a port.
QByteArray procEnd(quint32 address, quint16 port) {
    return QByteArray::number(qToBigEndian(address), 16).rightJustified(8, '0').toUpper() + ':' +
           QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
}
} // namespace

std::optional<quint32> peerOwnerInProcNetTcp(const QByteArray &table, const LoopbackConnection &connection) {
    const QByteArray peer = procEnd(connection.peerAddress, connection.peerPort);
    const QByteArray server = procEnd(connection.localAddress, connection.localPort);
    for (const QByteArray &line : table.split('\n')) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 7 && fields.at(1) == peer && fields.at(2) == server) {
            bool number = false;
            const quint32 uid = fields.at(7).toUInt(&number);
            if (number)
                return uid;
        }
    }
    return std::nullopt;
}

#ifdef __linux__
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// One exact lookup in the kernel's socket table (sock_diag): the socket whose local end is the peer.
std::optional<quint32> peerOwnerByNetlink(int diag, const LoopbackConnection &connection) {
    static quint32 sequence = 0;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 lookup;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++sequence;
    request.lookup.sdiag_family = AF_INET;
    request.lookup.sdiag_protocol = IPPROTO_TCP;
    request.lookup.idiag_states = ~0U;
    request.lookup.id.idiag_src[0] = htonl(connection.peerAddress);
    request.lookup.id.idiag_sport = htons(connection.peerPort);
    request.lookup.id.idiag_dst[0] = htonl(connection.localAddress);
    request.lookup.id.idiag_dport = htons(connection.localPort);
    request.lookup.id.idiag_cookie[0] = request.lookup.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (diag < 0 ||
        sendto(diag, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return std::nullopt;

    // The kernel answers while sending: nothing to wait for. An answer to an older question is passed over.
    alignas(nlmsghdr) char answer[2048];
    for (;;) {
        const ssize_t length = recv(diag, answer, sizeof answer, MSG_DONTWAIT);
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (length < ssize_t(NLMSG_HDRLEN) || !NLMSG_OK(header, quint32(length)))
            return std::nullopt;
        if (header->nlmsg_seq != sequence)
            continue;
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            length < ssize_t(NLMSG_LENGTH(sizeof(inet_diag_msg))))
            return std::nullopt;
        return static_cast<const inet_diag_msg *>(NLMSG_DATA(header))->idiag_uid;
    }
}

std::optional<quint32> peerOwnerByProcFile(const LoopbackConnection &connection) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    return peerOwnerInProcNetTcp(table.readAll(), connection);
}
} // namespace

PeerAccounts::PeerAccounts() : diag_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

PeerAccounts::~PeerAccounts() {
    if (diag_ >= 0)
        close(diag_);
}

PeerAccount PeerAccounts::of(const LoopbackConnection &connection) const {
    std::optional<quint32> owner = peerOwnerByNetlink(diag_, connection);
    if (!owner)
        owner = peerOwnerByProcFile(connection);
    if (!owner)
        return PeerAccount::Unknown;
    return *owner == geteuid() ? PeerAccount::Same : PeerAccount::Other;
}
#else
PeerAccounts::PeerAccounts() = default;
PeerAccounts::~PeerAccounts() = default;

PeerAccount PeerAccounts::of(const LoopbackConnection &) const {
    return PeerAccount::Unknown;
}
#endif
