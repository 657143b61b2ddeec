// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/SocketIo.h"

#ifdef _WIN32
#include <winsock2.h>

namespace {
void neverWait(qintptr fd) {
    u_long on = 1;
    ioctlsocket(SOCKET(fd), FIONBIO, &on);
}
} // namespace

qint64 readWaitingBytes(qintptr fd, char *into, qint64 most) {
    neverWait(fd);
    const int got = recv(SOCKET(fd), into, int(qMin<qint64>(most, 1 << 20)), 0);
    if (got > 0)
        return got;
    return got < 0 && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

qint64 writeWhatFits(qintptr fd, const char *bytes, qint64 size) {
    neverWait(fd);
    const int sent = send(SOCKET(fd), bytes, int(qMin<qint64>(size, 1 << 20)), 0);
    if (sent >= 0)
        return sent;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void closeSocket(qintptr fd) {
    closesocket(SOCKET(fd));
}
#else
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // macOS: a write to a closed peer fails with EPIPE under Qt, which ignores SIGPIPE
#endif

qint64 readWaitingBytes(qintptr fd, char *into, qint64 most) {
    for (;;) {
        const ssize_t got = recv(int(fd), into, size_t(most), MSG_DONTWAIT);
        if (got > 0)
            return got;
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

qint64 writeWhatFits(qintptr fd, const char *bytes, qint64 size) {
    for (;;) {
        const ssize_t sent = send(int(fd), bytes, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return sent;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void closeSocket(qintptr fd) {
    close(int(fd));
}
#endif
