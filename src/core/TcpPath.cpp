// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/TcpPath.h"

#ifdef __linux__
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::optional<TcpPathReading> readTcpPath(qintptr fd) {
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt || info.tcpi_min_rtt == 0)
        return std::nullopt;
    TcpPathReading reading;
    reading.smoothedRttUs = info.tcpi_rtt;
    reading.leastRttUs = info.tcpi_min_rtt;
    reading.unackedBytes = quint64(info.tcpi_unacked) * info.tcpi_snd_mss;
    if (size >= offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes)
        reading.notSentBytes = info.tcpi_notsent_bytes;
    if (size >= offsetof(tcp_info, tcpi_delivery_rate) + sizeof info.tcpi_delivery_rate)
        reading.deliveryBytesPerSecond = info.tcpi_delivery_rate;
    return reading;
}

bool paceTcpPath(qintptr fd, quint64 bytesPerSecond) {
    const unsigned long rate = bytesPerSecond == 0 ? ~0UL : static_cast<unsigned long>(bytesPerSecond);
    return setsockopt(int(fd), SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof rate) == 0;
}

bool resetTcpOnClose(qintptr fd) {
    const linger reset = {1, 0};
    return setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0;
}

bool limitUnsentBytes(qintptr fd, int bytes) {
    return setsockopt(int(fd), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0;
}

bool capLoopbackPeerSendBuffer(qintptr acceptedFd, int bytes) {
    sockaddr_storage ours = {}, theirs = {};
    socklen_t oursSize = sizeof ours, theirsSize = sizeof theirs;
    if (getsockname(int(acceptedFd), reinterpret_cast<sockaddr *>(&ours), &oursSize) != 0 ||
        getpeername(int(acceptedFd), reinterpret_cast<sockaddr *>(&theirs), &theirsSize) != 0)
        return false;
    DIR *descriptors = opendir("/proc/self/fd");
    if (!descriptors)
        return false;
    bool set = false;
    while (const dirent *entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == int(acceptedFd) ||
            fd == dirfd(descriptors))
            continue;
        // The copy is what is checked and set: the number may be closed and reused meanwhile.
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            continue;
        sockaddr_storage name = {}, peer = {};
        socklen_t nameSize = sizeof name, peerSize = sizeof peer;
        const bool isTheOtherEnd = getsockname(copy, reinterpret_cast<sockaddr *>(&name), &nameSize) == 0 &&
                                   nameSize == theirsSize && std::memcmp(&name, &theirs, nameSize) == 0 &&
                                   getpeername(copy, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0 &&
                                   peerSize == oursSize && std::memcmp(&peer, &ours, peerSize) == 0;
        if (isTheOtherEnd)
            set = setsockopt(copy, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
        close(copy);
        if (isTheOtherEnd)
            break;
    }
    closedir(descriptors);
    return set;
}

bool keepLoopbackTight(qintptr fd, int receiveBufferBytes) {
    return setsockopt(int(fd), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes) == 0;
}
#else
std::optional<TcpPathReading> readTcpPath(qintptr) {
    return std::nullopt;
}

bool paceTcpPath(qintptr, quint64) {
    return false;
}

bool resetTcpOnClose(qintptr) {
    return false;
}

bool limitUnsentBytes(qintptr, int) {
    return false;
}

bool capLoopbackPeerSendBuffer(qintptr, int) {
    return false;
}

bool keepLoopbackTight(qintptr, int) {
    return false;
}
#endif
