// SPDX-License-Identifier: GPL-2.0-or-later
#include "ServeRequests.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
// One request on a new connection, as the dock page makes them; read until the server closes.
bool requestOnce(quint16 port, const QByteArray &request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        send(fd, request.constData(), size_t(request.size()), 0) == request.size()) {
        char buffer[16384];
        ssize_t got = 0;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
            answered = true;
    }
    close(fd);
    return answered;
}
} // namespace

int serveRequests(quint16 port, const QByteArray &request, int count) {
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::thread client([&] {
        for (int index = 0; index < count; ++index)
            answered += requestOnce(port, request) ? 1 : 0;
        done = true;
        QMetaObject::invokeMethod(
            qApp, [] {}, Qt::QueuedConnection); // wakes the main thread
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    client.join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return answered;
}
