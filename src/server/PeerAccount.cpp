// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/PeerAccount.h"

#include <QHostAddress>

std::optional<quint32> peerOwnerInTcpTable(const std::vector<TcpSocketRow> &rows,
                                           const LoopbackConnection &connection) {
    const QHostAddress peer(connection.peerAddress);
    const QHostAddress server(connection.localAddress);
    for (const TcpSocketRow &row : rows) {
        if (row.localPort == connection.peerPort && row.remotePort == connection.localPort &&
            sameHost(row.localAddress, peer) && sameHost(row.remoteAddress, server))
            return row.uid;
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

#include <cerrno>

namespace {
// What one source of the kernel's socket table says of the peer's socket.
struct TableAnswer {
    bool answered = false;        // the table could be asked
    std::optional<quint32> owner; // the socket's owner; none when the table does not list it
};

// One exact lookup in the kernel's socket table (sock_diag): the socket whose local end is the peer.
TableAnswer peerOwnerByNetlink(int diag, const LoopbackConnection &connection) {
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
        return {};

    // The kernel answers while sending: nothing to wait for. An answer to an older question is passed over.
    alignas(nlmsghdr) char answer[2048];
    for (;;) {
        const ssize_t length = recv(diag, answer, sizeof answer, MSG_DONTWAIT);
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (length < ssize_t(NLMSG_HDRLEN) || !NLMSG_OK(header, quint32(length)))
            return {};
        if (header->nlmsg_seq != sequence)
            continue;
        if (header->nlmsg_type == NLMSG_ERROR && length >= ssize_t(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
            // ENOENT: the table was searched and has no such socket; anything else tells nothing.
            const int error = static_cast<const nlmsgerr *>(NLMSG_DATA(header))->error;
            return {error == -ENOENT, std::nullopt};
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            length < ssize_t(NLMSG_LENGTH(sizeof(inet_diag_msg))))
            return {};
        return {true, static_cast<const inet_diag_msg *>(NLMSG_DATA(header))->idiag_uid};
    }
}

TableAnswer peerOwnerByProcFiles(const LoopbackConnection &connection) {
    std::vector<TcpSocketRow> rows;
    if (!readTcpTables(rows))
        return {};
    return {true, peerOwnerInTcpTable(rows, connection)};
}
} // namespace

PeerAccounts::PeerAccounts() : diag_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

PeerAccounts::~PeerAccounts() {
    if (diag_ >= 0)
        close(diag_);
}

PeerAccount PeerAccounts::of(const LoopbackConnection &connection) const {
    TableAnswer answer = peerOwnerByNetlink(diag_, connection);
    if (!answer.owner) { // not found there: the files may still list it (an older kernel's diagnostics)
        const TableAnswer files = peerOwnerByProcFiles(connection);
        if (files.answered)
            answer = files;
    }
    if (!answer.answered)
        return PeerAccount::Unknown;
    if (!answer.owner)
        return PeerAccount::NotListed;
    return *answer.owner == geteuid() ? PeerAccount::Same : PeerAccount::Other;
}
#else
PeerAccounts::PeerAccounts() = default;
PeerAccounts::~PeerAccounts() = default;

PeerAccount PeerAccounts::of(const LoopbackConnection &) const {
    return PeerAccount::Unknown;
}
#endif
