// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelaySockets.h"

#include <QList>
#include <QUrl>
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>

std::vector<quint64> newSockets(const std::vector<TcpSocketRow> &rows, const SocketQuery &query) {
    std::vector<quint64> found;
    for (const TcpSocketRow &row : rows) {
        const bool stateFits =
            query.unanswered ? row.state == kTcpSynSent
                             : row.state == kTcpEstablished || (query.connecting && row.state == kTcpSynSent);
        if (query.port == 0 || row.remotePort != query.port || !stateFits ||
            !std::binary_search(query.own.begin(), query.own.end(), row.inode) ||
            std::binary_search(query.before.begin(), query.before.end(), row.inode) ||
            (!query.addresses.isEmpty() && std::none_of(query.addresses.begin(), query.addresses.end(),
                                                        [&row](const QHostAddress &address) {
                                                            return sameHost(address, row.remoteAddress);
                                                        })))
            continue;
        if (std::find(found.begin(), found.end(), row.inode) == found.end())
            found.push_back(row.inode);
    }
    return found;
}

quint64 soleNewSocket(const std::vector<TcpSocketRow> &rows, const SocketQuery &query) {
    const std::vector<quint64> found = newSockets(rows, query);
    return found.size() == 1 ? found.front() : 0;
}

std::vector<quint64> attemptsToCut(const std::vector<TcpSocketRow> &rows, SocketQuery query, bool atExit) {
    query.connecting = true;
    query.unanswered = false;
    const std::vector<quint64> found = newSockets(rows, query);
    if (found.size() <= 1)
        return found;
    if (!atExit)
        return {};
    query.unanswered = true; // two of the relay's attempts can be connecting at once (seen in OBS 32)
    return newSockets(rows, query);
}

std::optional<BlockedCall> parseBlockedCall(const QByteArray &line) {
    // "202 0x7f3a1c0009d0 0x0 0x3039 0x0 0x0 0x0 0x7f3a1bfff8c0 0x7f3a2e6d1f16": a number, six arguments,
    // the stack pointer and the program counter; "running" or "-1 ..." when the thread is not in a call.
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 9)
        return std::nullopt;
    BlockedCall call;
    bool ok = false;
    call.number = fields.at(0).toLong(&ok);
    if (!ok || call.number < 0)
        return std::nullopt;
    const auto hex = [&fields, &ok](int index) {
        const QByteArray &field = fields.at(index);
        const quint64 value = field.startsWith("0x") ? field.mid(2).toULongLong(&ok, 16) : 0;
        ok = ok && field.startsWith("0x");
        return value;
    };
    for (int i = 0; i < 3 && ok; ++i)
        call.args[i] = hex(i + 1);
    if (ok)
        call.stackPointer = hex(7);
    return ok ? std::optional(call) : std::nullopt;
}

#ifdef __linux__
#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

bool isSocketCall(long number) {
    switch (number) {
    case SYS_connect:
    case SYS_sendto:
    case SYS_recvfrom:
    case SYS_sendmsg:
    case SYS_recvmsg:
    case SYS_read:
    case SYS_write:
        return true;
    default:
        return false;
    }
}

std::optional<BlockedCall> blockedCallOf(int tid) {
    QFile file(QStringLiteral("/proc/self/task/%1/syscall").arg(tid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseBlockedCall(file.readAll());
}

// Closes a descriptor copy when it goes out of scope.
struct DescriptorCopy {
    int fd;
    explicit DescriptorCopy(int original) : fd(original < 0 ? -1 : fcntl(original, F_DUPFD_CLOEXEC, 0)) {}
    ~DescriptorCopy() {
        if (fd >= 0)
            close(fd);
    }
    DescriptorCopy(const DescriptorCopy &) = delete;
    DescriptorCopy &operator=(const DescriptorCopy &) = delete;
};
} // namespace

std::vector<quint64> processSocketIds() {
    std::vector<quint64> ids;
    forEachSocket([&ids](int, quint64 id) { ids.push_back(id); });
    std::sort(ids.begin(), ids.end());
    return ids;
}

quint64 newConnectionTo(const std::vector<quint64> &before, const QList<QHostAddress> &addresses,
                        quint16 port) {
    std::vector<TcpSocketRow> rows;
    if (!readTcpTables(rows))
        return 0;
    SocketQuery query{processSocketIds(), before, port, addresses, false};
    if (!addresses.isEmpty() && newSockets(rows, query).empty())
        query.addresses.clear();
    return soleNewSocket(rows, query);
}

std::vector<quint64> attemptsToCut(const std::vector<quint64> &before, const std::vector<quint64> *atStop,
                                   const QList<QHostAddress> &addresses, quint16 port, bool atExit) {
    std::vector<TcpSocketRow> rows;
    if (addresses.isEmpty() || !readTcpTables(rows))
        return {};
    std::vector<quint64> own = processSocketIds();
    if (atStop) { // open now and at the stop: what was opened since is left out
        std::vector<quint64> both;
        std::set_intersection(own.begin(), own.end(), atStop->begin(), atStop->end(),
                              std::back_inserter(both));
        own = std::move(both);
    }
    return attemptsToCut(rows, {own, before, port, addresses, true, false}, atExit);
}

int socketWaitedOnBy(int tid, const std::function<std::optional<BlockedCall>(int)> &callOf) {
    // A wait on any futex whose value happens to be a thread's id is no join: the word must also lie just
    // above that thread's stack. A chain longer than a few joins is not the relay's.
    constexpr quint64 kThreadAreaSpan = quint64(64) << 20;
    std::optional<BlockedCall> call = callOf(tid);
    for (int depth = 0; depth < 4 && call; ++depth) {
        if (isSocketCall(call->number))
            return int(call->args[0]);
        const int joined = int(call->args[2]);
        if (call->number != SYS_futex || joined <= 0 || joined == tid)
            return -1;
        const quint64 word = call->args[0];
        tid = joined;
        call = callOf(tid);
        if (call && (word <= call->stackPointer || word - call->stackPointer > kThreadAreaSpan))
            return -1;
    }
    return -1;
}

int socketWaitedOnBy(int tid) {
    return socketWaitedOnBy(tid, blockedCallOf);
}

namespace {
// Runs act on a copy of the descriptor of a socket of this process (identity id, 0: any; at fd, -1: wherever
// it is) while it goes to port, connected or connecting. Returns what act returned, false when not found.
template <typename Act> bool onRelaySocket(quint64 id, int fd, quint16 port, Act act) {
    if (fd < 0 && id != 0)
        forEachSocket([&fd, id](int candidate, quint64 candidateId) {
            if (candidateId == id)
                fd = candidate;
        });
    const DescriptorCopy copy(fd);
    struct stat status = {};
    if (copy.fd < 0 || fstat(copy.fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
        (id != 0 && quint64(status.st_ino) != id))
        return false;
    std::vector<TcpSocketRow> rows;
    if (!readTcpTables(rows))
        return false;
    const auto row = std::find_if(rows.begin(), rows.end(), [&status](const TcpSocketRow &candidate) {
        return candidate.inode == quint64(status.st_ino);
    });
    if (row == rows.end() || row->remotePort != port ||
        (row->state != kTcpEstablished && row->state != kTcpSynSent))
        return false;
    return act(copy.fd);
}
} // namespace

bool cutSocket(quint64 id, int fd, quint16 port) {
    return onRelaySocket(id, fd, port, [](int copy) { return shutdown(copy, SHUT_RDWR) == 0; });
}

bool cutSocketWaitedOnBy(int tid, quint16 port,
                         const std::function<std::optional<BlockedCall>(int)> &callOf) {
    const int fd = socketWaitedOnBy(tid, callOf);
    if (fd < 0)
        return false;
    const DescriptorCopy copy(fd);
    struct stat status = {};
    if (copy.fd < 0 || fstat(copy.fd, &status) != 0 || socketWaitedOnBy(tid, callOf) != fd)
        return false;
    return cutSocket(quint64(status.st_ino), copy.fd, port);
}

bool cutSocketWaitedOnBy(int tid, quint16 port) {
    return cutSocketWaitedOnBy(tid, port, blockedCallOf);
}

bool paceSocket(quint64 id, quint16 port, quint64 bytesPerSecond) {
    return onRelaySocket(id, -1, port, [bytesPerSecond](int copy) {
        const unsigned int rate =
            bytesPerSecond == 0 || bytesPerSecond > 0xffffffffu ? ~0u : unsigned(bytesPerSecond);
        return setsockopt(copy, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof rate) == 0;
    });
}

bool resetOnClose(quint64 id, quint16 port) {
    return onRelaySocket(id, -1, port, [](int copy) {
        const linger reset = {1, 0};
        return setsockopt(copy, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0;
    });
}

std::optional<RoundTrip> socketRoundTrip(quint64 id, int &fdHint) {
    const auto isTheSocket = [id](int fd) {
        struct stat status = {};
        return fd >= 0 && fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode) && quint64(status.st_ino) == id;
    };
    // The copy is what is checked and read: the descriptor may be closed and reused meanwhile.
    auto copy = std::make_unique<DescriptorCopy>(fdHint);
    if (!isTheSocket(copy->fd)) {
        fdHint = -1;
        forEachSocket([&fdHint, id](int candidate, quint64 candidateId) {
            if (candidateId == id)
                fdHint = candidate;
        });
        copy = std::make_unique<DescriptorCopy>(fdHint);
        if (!isTheSocket(copy->fd))
            return std::nullopt;
    }
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(copy->fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt || info.tcpi_min_rtt == 0)
        return std::nullopt;
    return RoundTrip{info.tcpi_rtt, info.tcpi_min_rtt};
}

int currentThreadId() {
    return int(syscall(SYS_gettid));
}
#else
bool resetOnClose(quint64, quint16) {
    return false;
}

std::optional<RoundTrip> socketRoundTrip(quint64, int &) {
    return std::nullopt;
}

std::vector<quint64> processSocketIds() {
    return {};
}

quint64 newConnectionTo(const std::vector<quint64> &, const QList<QHostAddress> &, quint16) {
    return 0;
}

std::vector<quint64> attemptsToCut(const std::vector<quint64> &, const std::vector<quint64> *,
                                   const QList<QHostAddress> &, quint16, bool) {
    return {};
}

int socketWaitedOnBy(int, const std::function<std::optional<BlockedCall>(int)> &) {
    return -1;
}

int socketWaitedOnBy(int) {
    return -1;
}

bool cutSocket(quint64, int, quint16) {
    return false;
}

bool cutSocketWaitedOnBy(int, quint16, const std::function<std::optional<BlockedCall>(int)> &) {
    return false;
}

bool cutSocketWaitedOnBy(int, quint16) {
    return false;
}

bool paceSocket(quint64, quint16, quint64) {
    return false;
}

int currentThreadId() {
    return 0;
}
#endif

quint16 relayServerPort(const QString &server) {
    const QUrl url(server);
    const bool secure = url.scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0;
    return quint16(url.port(secure ? 443 : 1935));
}
