// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "server/LocalServer.h"
#include "support/HttpPeer.h"
#include "support/RawClient.h"

#include <QMainWindow>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

extern "C" uint32_t obs_module_ver(void);
extern "C" const char *obs_module_description(void);

using LifecycleRun = ModuleRun;

TEST_F(LifecycleRun, LoadingRegistersTheEventCallbackAndLogsOnce) {
    EXPECT_EQ(obshost::countLogLines("[orvane] loaded (version 1.0.0)"), 1);
    EXPECT_EQ(registeredFrontendCallbacks(), 1u);
    EXPECT_EQ(obs_module_ver(), 520159233u);
    EXPECT_STREQ(obs_module_description(),
                 "Orvane: check everything, then go live on all your platforms from one dock.");
    EXPECT_EQ(runningLocalServer(), nullptr);
    EXPECT_FALSE(tickIsRunning());
}

TEST_F(LifecycleRun, FinishedLoadingStartsTheServerAndExitStopsIt) {
    qputenv("ORVANE_CLOUD_URL", "http://127.0.0.1:9/base///");
    LocalServer &server = finishLoading();
    const quint16 port = server.port;
    ASSERT_NE(port, 0);
    EXPECT_TRUE(tickIsRunning());
    EXPECT_EQ(server.cloudBase, "http://127.0.0.1:9/base");
    EXPECT_EQ(server.appBase, "http://127.0.0.1:14563");
    EXPECT_EQ(
        obshost::countLogLines(
            QStringLiteral("[orvane] Orvane dock on 127.0.0.1:%1, cloud http://127.0.0.1:9/base").arg(port)),
        1);
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(server.bridgeKey).hasMatch());
    // The key never reaches the log.
    for (const QString &line : obshost::logLines())
        EXPECT_FALSE(line.contains(server.bridgeKey));
    EXPECT_TRUE(exchange(port, requestFor(port, "POST", "/")).received.startsWith("HTTP/1.1 405"));

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_EQ(runningLocalServer(), nullptr);
    EXPECT_FALSE(tickIsRunning());
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, port)) << "port still taken after exit";

    // The exit event ends the module's use of the front-end: OBS 30 and later tear it down right after.
    EXPECT_EQ(registeredFrontendCallbacks(), 0u);
    obs_module_unload();
    EXPECT_EQ(frontendCallsAfterTeardown(), 0);
    startNextFrontendRun();
    obs_module_load();
}

TEST_F(LifecycleRun, EveryStartDrawsANewKeyAndTrimsTheBaseUrls) {
    qputenv("ORVANE_CLOUD_URL", "///");
    qputenv("ORVANE_APP_URL", "http://127.0.0.1:7000//");
    const QString firstKey = finishLoading().bridgeKey;
    EXPECT_EQ(runningLocalServer()->cloudBase, "");
    EXPECT_EQ(runningLocalServer()->appBase, "http://127.0.0.1:7000");
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);

    const QString secondKey = finishLoading().bridgeKey;
    EXPECT_EQ(secondKey.size(), 32);
    EXPECT_NE(firstKey, secondKey);
}

TEST_F(LifecycleRun, ExitWithoutFinishedLoadingIsHarmless) {
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED);
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_EQ(runningLocalServer(), nullptr);
    EXPECT_FALSE(tickIsRunning());
}

TEST_F(LifecycleRun, WorkArrivingDuringExitNeverReachesTheGoneServer) {
    HttpPeer cloud;
    cloud.answerDelayed(200, [](const HttpPeer::Request &) {
        return HttpPeer::Answer{200, "page", {}, false, {}};
    });
    qputenv("ORVANE_CLOUD_URL", cloud.baseUrl().toUtf8());
    const quint16 port = finishLoading().port;

    QTcpSocket fetching; // its page is still on the way from the cloud at exit
    fetching.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(fetching.waitForConnected(3000));
    fetching.write(requestFor(port, "GET", "/"));
    ASSERT_TRUE(waitUntil([&] { return !cloud.received.isEmpty(); }, 5000));

    QTcpSocket late; // its request is in the socket, unread, at exit
    late.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(late.waitForConnected(3000));
    runEventLoopFor(50);
    late.write(requestFor(port, "POST", "/"));
    late.flush();

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_TRUE(waitUntil(
        [&] {
            return late.state() == QAbstractSocket::UnconnectedState &&
                   fetching.state() == QAbstractSocket::UnconnectedState;
        },
        3000));
    runEventLoopFor(400);
    EXPECT_TRUE(late.readAll().isEmpty());
    EXPECT_TRUE(fetching.readAll().isEmpty());
}

TEST_F(LifecycleRun, ExitClosesOpenConnectionsAtOnce) {
    const quint16 port = finishLoading().port;
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(idle.waitForConnected(3000));
    idle.write("GET / HTTP/1.1\r\n");
    runEventLoopFor(100);

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_TRUE(waitUntil([&] { return idle.state() == QAbstractSocket::UnconnectedState; }, 3000));
    EXPECT_TRUE(idle.readAll().isEmpty());
}

// OBS 29.0.2 runs its exit from its SIGINT handler, inside whatever the module was doing: here inside the
// answer to the first of three requests that wait together. The rest are never taken, and nothing the
// answer still stands on is freed under it (the sanitizer build reports any use after free).
TEST_F(LifecycleRun, ExitRaisedInsideARequestsAnswerFreesNothingUnderIt) {
    LocalServer &server = finishLoading();
    const quint16 port = server.port;
    const QByteArray stateRequest =
        requestFor(port, "GET", "/bridge/state", "x-ov-bridge: " + server.bridgeKey.toUtf8() + "\r\n");
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(clients.back()->waitForConnected(3000));
        clients.back()->write(stateRequest);
        ASSERT_TRUE(clients.back()->waitForBytesWritten(3000));
    }
    runAtNextFrontendCall([] {
        emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
        startNextFrontendRun(); // OBS 29's front-end is still there while its exit unwinds
    });

    EXPECT_TRUE(waitUntil(
        [&] {
            return std::all_of(clients.begin(), clients.end(), [](const std::unique_ptr<QTcpSocket> &client) {
                return client->state() == QAbstractSocket::UnconnectedState;
            });
        },
        5000));
    EXPECT_EQ(runningLocalServer(), nullptr);
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, port)) << "port still taken after exit";
    for (const std::unique_ptr<QTcpSocket> &client : clients)
        EXPECT_FALSE(client->readAll().startsWith("HTTP/1.1 200")) << "answered after exit";
    obs_module_unload(); // what exit only stopped is freed here, with nothing of the module on the stack
    startNextFrontendRun();
    obs_module_load();
}

namespace {
int obsHandlerCalls = 0;
void obsStyleHandler(int) {
    ++obsHandlerCalls;
}
} // namespace

// OBS before 29.1 closes from inside its SIGINT handler; the module hands the signal to the main loop
// instead, through OBS's exit too, and gives OBS its handler back at unload.
TEST_F(LifecycleRun, SigintClosesObsFromTheMainLoopInObsBefore291) {
    if (obs_get_version() >= MAKE_SEMANTIC_VERSION(29, 1, 0))
        GTEST_SKIP() << "this libobs hands SIGINT to its main loop itself";
    struct sigaction obsHandler = {};
    obsHandler.sa_handler = obsStyleHandler;
    sigaction(SIGINT, &obsHandler, nullptr);
    emitFrontendEvent(
        OBS_FRONTEND_EVENT_EXIT); // OBS's next run, its handler in place before the module loads
    obs_module_unload();
    startNextFrontendRun();
    obs_module_load();
    QMainWindow *window = frontendMainWindow();
    window->show();

    raise(SIGINT);
    EXPECT_EQ(obsHandlerCalls, 0);
    EXPECT_TRUE(window->isVisible()) << "closed inside the signal handler";
    EXPECT_TRUE(waitUntil([&] { return !window->isVisible(); }, 3000));

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    raise(SIGINT); // a second Ctrl+C while OBS closes
    EXPECT_EQ(obsHandlerCalls, 0);
    obs_module_unload();
    raise(SIGINT); // and once the module is unloaded, while OBS's exit goes on
    EXPECT_EQ(obsHandlerCalls, 0) << "OBS's handler would close the window from inside the signal";
    signal(SIGINT, SIG_DFL);
    startNextFrontendRun();
    obs_module_load();
}
