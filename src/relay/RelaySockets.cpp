#include "relay/RelaySockets.h"

#include <QUrl>
#include <algorithm>

#ifdef __linux__
#include <QDir>
#include <QFile>
#include <arpa/inet.h>
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

quint16 peerTcpPort(int fd) {
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
        return 0;
    sockaddr_storage peer = {};
    socklen_t peerLength = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
        return 0;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    return 0;
}
} // namespace

std::vector<quint64> processSocketIds() {
    std::vector<quint64> ids;
    forEachSocket([&ids](int, quint64 id) { ids.push_back(id); });
    std::sort(ids.begin(), ids.end());
    return ids;
}

int cutSocketsOpenedSince(const std::vector<quint64> &before, quint16 remotePort) {
    int cut = 0;
    forEachSocket([&](int fd, quint64 id) {
        if (std::binary_search(before.begin(), before.end(), id) || peerTcpPort(fd) != remotePort)
            return;
        if (shutdown(fd, SHUT_RDWR) == 0)
            ++cut;
    });
    return cut;
}
#else
std::vector<quint64> processSocketIds() {
    return {};
}

int cutSocketsOpenedSince(const std::vector<quint64> &, quint16) {
    return 0;
}
#endif

quint16 relayServerPort(const QString &server) {
    const QUrl url(server);
    const bool secure = url.scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0;
    return quint16(url.port(secure ? 443 : 1935));
}
