// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/TcpPath.h"

#ifdef __linux__
#include <cstddef>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

bool keepLoopbackTight(qintptr fd, int receiveBufferBytes) {
    const int segment = 1400;
    return setsockopt(int(fd), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) == 0 &&
           setsockopt(int(fd), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes) == 0;
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

bool keepLoopbackTight(qintptr, int) {
    return false;
}
#endif
