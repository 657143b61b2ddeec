// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelaySockets.h"

#include <QUrl>
#include <algorithm>

bool isAttemptToRelayServer(const TcpSocketRow &row, const QList<QHostAddress> &addresses, quint16 port,
                            bool receivedNothing) {
    if (port == 0 || row.remotePort != port)
        return false;
    if (std::none_of(addresses.begin(), addresses.end(),
                     [&row](const QHostAddress &address) { return sameHost(address, row.remoteAddress); }))
        return false;
    return row.state == kTcpSynSent || (row.state == kTcpEstablished && receivedNothing);
}

#ifdef __linux__
#include <QDir>
#include <QFile>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// "socket:[12345]" as /proc/self/fd shows a socket; 0 for anything else.
quint64 socketIdOf(const QByteArray &fdPath) {
    char target[64] = {};
    const ssize_t length = readlink(fdPath.constData(), target, sizeof target - 1);
    const QByteArray link(target, length > 0 ? int(length) : 0);
    if (!link.startsWith("socket:[") || !link.endsWith(']'))
        return 0;
    return link.mid(8, link.size() - 9).toULongLong();
}

template <typename Visit> void forEachSocket(Visit visit) {
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &name : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (const quint64 id = socketIdOf(QFile::encodeName(fds.filePath(name))))
            visit(name.toInt(), id);
    }
}

// Whether the peer never sent a byte on this connection (the kernel's count; false when it can't tell).
bool receivedNothing(int fd) {
    tcp_info info = {};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < socklen_t(offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received))
        return false;
    return info.tcpi_bytes_received == 0;
}
} // namespace

std::vector<quint64> processSocketIds() {
    std::vector<quint64> ids;
    forEachSocket([&ids](int, quint64 id) { ids.push_back(id); });
    std::sort(ids.begin(), ids.end());
    return ids;
}

int cutRelayConnectAttempt(const std::vector<quint64> &before, const QList<QHostAddress> &addresses,
                           quint16 port) {
    std::vector<TcpSocketRow> rows;
    if (addresses.isEmpty() || !readTcpTables(rows))
        return 0;
    int cut = 0;
    forEachSocket([&](int fd, quint64 id) {
        if (std::binary_search(before.begin(), before.end(), id))
            return;
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [id](const TcpSocketRow &candidate) { return candidate.inode == id; });
        if (row != rows.end() && isAttemptToRelayServer(*row, addresses, port, receivedNothing(fd)) &&
            shutdown(fd, SHUT_RDWR) == 0)
            ++cut;
    });
    return cut;
}
#else
std::vector<quint64> processSocketIds() {
    return {};
}

int cutRelayConnectAttempt(const std::vector<quint64> &, const QList<QHostAddress> &, quint16) {
    return 0;
}
#endif

quint16 relayServerPort(const QString &server) {
    const QUrl url(server);
    const bool secure = url.scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0;
    return quint16(url.port(secure ? 443 : 1935));
}
