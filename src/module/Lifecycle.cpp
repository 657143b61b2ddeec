// SPDX-License-Identifier: GPL-2.0-or-later
#include "module/Lifecycle.h"
#include "module/SigintDeferral.h"
#include "module/TimedStep.h"

#include "bridge/BridgeActions.h"
#include "bridge/StreamTracker.h"
#include "cloud/AccountToken.h"
#include "cloud/CloudProxy.h"
#include "cloud/DockPage.h"
#include "core/WallClock.h"
#include "dock/DockPanel.h"
#include "relay/Relay.h"
#include "remote/RemoteControl.h"
#include "server/LocalServer.h"
#include "server/RouteDecision.h"

#include <QTimer>
#include <memory>
#include <vector>

namespace {
std::unique_ptr<LocalServer> localServer;
// Servers of runs that have exited: torn down, kept until unload, since OBS 29.0.2 can run its exit from
// inside the server's own handling and the frames above it still use the server.
std::vector<std::unique_ptr<LocalServer>> exitedServers;
std::unique_ptr<QTimer> tickTimer;
bool callbackRegistered = false;

constexpr int kTickIntervalMs = 1000;

void onTick() {
    runTimedStep("the module's tick", [] { runModuleTick(wallClockMs()); });
    remoteControlOnTick();
}

RouteTargets moduleRoutes() {
    RouteTargets targets;
    targets.bridge = [](LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                        const RouteDecision &decision) {
        runTimedStep("the bridge's answer", [&] { answerBridgeRequest(server, socket, request, decision); });
    };
    targets.proxy = proxyRequest;
    targets.dockPage = [](LocalServer &server, QTcpSocket *socket, const HttpRequest &,
                          const RouteDecision &decision) {
        serveDockPage(server, socket, decision.path);
    };
    return targets;
}

void startUp() {
    localServer = std::make_unique<LocalServer>(moduleRoutes());
    if (localServer->start()) {
        loadAccountToken(*localServer);
        attachDockBrowser(dockUrl(localServer->port));
    }
    placeDockOnFirstRun();
    startRemoteControl([] { return localServer && !localServer->token.isEmpty(); });

    if (!tickTimer) {
        tickTimer = std::make_unique<QTimer>();
        QObject::connect(tickTimer.get(), &QTimer::timeout, onTick);
    }
    tickTimer->start(kTickIntervalMs);
}

// Ends the module's work; what a caller further up the stack may still use is freed at unload.
void shutDown() {
    runTimedStep("exit: stopping remote control", stopRemoteControl);
    runTimedStep("exit: closing the dock's browser", closeDockBrowser);
    stopWatchingStreamOutput();
    if (tickTimer)
        tickTimer->stop();
    runTimedStep("exit: stopping the Orvane output", shutdownRelay);
    if (localServer) {
        runTimedStep("exit: closing the local server", [] { localServer->teardown(); });
        exitedServers.push_back(std::move(localServer));
    }
}
// Since OBS 30 the front-end API is gone once the exit event has been delivered, before modules
// unload: everything that needs it ends here, the event callback included.
void finishWithFrontend() {
    stopClosingOnSigint();
    shutDown();
    if (callbackRegistered)
        obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
    callbackRegistered = false;
}
} // namespace

void onFrontendEvent(enum obs_frontend_event event, void *) {
    onStreamEvent(event);
    runTimedStep("the Orvane output's start or stop", [event] { relayOnFrontendEvent(event); });
    if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING)
        startUp();
    else if (event == OBS_FRONTEND_EVENT_PROFILE_CHANGED)
        remoteControlOnProfileChange();
    else if (event == OBS_FRONTEND_EVENT_EXIT)
        finishWithFrontend();
}

void registerFrontendCallback() {
    if (callbackRegistered)
        return;
    obs_frontend_add_event_callback(onFrontendEvent, nullptr);
    callbackRegistered = true;
}

void runModuleTick(qint64 now) {
    sampleStreamRate(now);
    relayRetryCheck(now);
}

void releaseModuleObjects() {
    exitedServers.clear();
    localServer.reset();
    tickTimer.reset();
}

LocalServer *runningLocalServer() {
    return localServer.get();
}

bool tickIsRunning() {
    return tickTimer && tickTimer->isActive();
}
