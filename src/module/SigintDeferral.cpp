// SPDX-License-Identifier: GPL-2.0-or-later
#include "module/SigintDeferral.h"

#include "core/Log.h"

#include <QMainWindow>
#include <QSocketNotifier>
#include <memory>
#include <obs-frontend-api.h>
#include <obs.h>

#ifdef __linux__
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1}; // written by the handler, read on the main thread
struct sigaction obsHandler = {};
std::unique_ptr<QSocketNotifier> signalArrived;

void onSigint(int) {
    const char byte = 1;
    // Only what is safe in a signal handler: one byte into the pipe.
    [[maybe_unused]] const ssize_t written = send(signalPipe[0], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void closeObsFromMainLoop() {
    char byte = 0;
    [[maybe_unused]] const ssize_t read = recv(signalPipe[1], &byte, 1, MSG_DONTWAIT);
    if (auto *mainWindow = static_cast<QMainWindow *>(obs_frontend_get_main_window()))
        mainWindow->close();
}
} // namespace

void deferSigintToMainLoop() {
    if (signalArrived || obs_get_version() >= MAKE_SEMANTIC_VERSION(29, 1, 0))
        return;
    struct sigaction current = {};
    if (sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler == SIG_DFL ||
        current.sa_handler == SIG_IGN)
        return; // not OBS's handler: nothing to mend
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    signalArrived = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(signalArrived.get(), &QSocketNotifier::activated, closeObsFromMainLoop);
    struct sigaction deferred = {};
    deferred.sa_handler = onSigint;
    sigemptyset(&deferred.sa_mask);
    deferred.sa_flags = SA_RESTART;
    sigaction(SIGINT, &deferred, &obsHandler);
    logMessage(LOG_INFO,
               "OBS before 29.1: Ctrl+C closes OBS from its main loop, not from the signal handler");
}

void restoreObsSigint() {
    if (!signalArrived)
        return;
    sigaction(SIGINT, &obsHandler, nullptr);
    signalArrived.reset();
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}
#else
void deferSigintToMainLoop() {}
void restoreObsSigint() {}
#endif
