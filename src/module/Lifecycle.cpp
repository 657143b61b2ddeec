#include "module/Lifecycle.h"

#include "bridge/StreamTracker.h"
#include "dock/DockPanel.h"
#include "relay/Relay.h"
#include "server/LocalServer.h"

#include <QTimer>
#include <memory>

namespace {
std::unique_ptr<LocalServer> localServer;
std::unique_ptr<QTimer> tickTimer;

constexpr int kTickIntervalMs = 1000;

void onTick() {
    sampleStreamRate();
    relayRetryCheck();
}

void startUp() {
    localServer = std::make_unique<LocalServer>(&moduleRelay());
    if (localServer->start())
        attachDockBrowser(dockUrl(localServer->port));
    placeDockOnFirstRun();

    tickTimer = std::make_unique<QTimer>();
    QObject::connect(tickTimer.get(), &QTimer::timeout, onTick);
    tickTimer->start(kTickIntervalMs);
}

void shutDown() {
    closeDockBrowser();
    if (tickTimer) {
        tickTimer->stop();
        tickTimer.reset();
    }
    shutdownRelay();
    if (localServer) {
        localServer->teardown();
        localServer.reset();
    }
}
} // namespace

void onFrontendEvent(enum obs_frontend_event event, void *) {
    onStreamEvent(event);
    relayOnFrontendEvent(event);
    if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING)
        startUp();
    else if (event == OBS_FRONTEND_EVENT_EXIT)
        shutDown();
}

LocalServer *runningLocalServer() {
    return localServer.get();
}

bool tickIsRunning() {
    return tickTimer && tickTimer->isActive();
}
