// SPDX-License-Identifier: GPL-2.0-or-later
#include "module/SigintDeferral.h"

#include "core/Log.h"

#include <QMainWindow>
#include <QPointer>
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
std::unique_ptr<QSocketNotifier> signalArrived;

void onSigint(int) {
    const char byte = 1;
    // Only what is safe in a signal handler: one byte into the pipe.
    [[maybe_unused]] const ssize_t written = send(signalPipe[0], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// The window OBS had when the module loaded: gone once OBS has closed it.
QPointer<QMainWindow> obsMainWindow;

void closeObsFromMainLoop() {
    char byte = 0;
    [[maybe_unused]] const ssize_t read = recv(signalPipe[1], &byte, 1, MSG_DONTWAIT);
    if (obsMainWindow)
        obsMainWindow->close();
}
} // namespace

void deferSigintToMainLoop() {
    if (signalArrived || obs_get_version() >= MAKE_SEMANTIC_VERSION(29, 1, 0))
        return;
    struct sigaction current = {};
    if (sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler == SIG_DFL ||
        current.sa_handler == SIG_IGN)
        return;                                            // not OBS's handler: nothing to mend
    const bool installed = current.sa_handler == onSigint; // by an earlier load of this process
    if (!installed && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    obsMainWindow = static_cast<QMainWindow *>(obs_frontend_get_main_window());
    signalArrived = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(signalArrived.get(), &QSocketNotifier::activated, closeObsFromMainLoop);
    if (installed)
        return;
    struct sigaction deferred = {};
    deferred.sa_handler = onSigint;
    sigemptyset(&deferred.sa_mask);
    deferred.sa_flags = SA_RESTART;
    sigaction(SIGINT, &deferred, nullptr);
    logMessage(LOG_INFO,
               "OBS before 29.1: Ctrl+C closes OBS from its main loop, not from the signal handler");
}

// OBS's shutdown goes on after modules unload, and OBS's own handler would close the main window from
// inside a second Ctrl+C then. OBS before 29.1 never unmaps a module's code (it leaves its libraries
// open), so the handler stays for the life of the process; with nobody reading, its byte is dropped.
void stopClosingOnSigint() {
    signalArrived.reset();
}
#else
void deferSigintToMainLoop() {}
void stopClosingOnSigint() {}
#endif
