// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "relay/Relay.h"
#include "remote/MainThreadCall.h"
#include "remote/RemoteRelay.h"

#include <QCoreApplication>
#include <atomic>
#include <future>

namespace {
using RemoteControlRun = ModuleRun;
} // namespace

// obs-websocket waits for its request threads when it unloads: a request waiting for the main thread must
// give up at OBS's exit, and its job must not run after.
TEST_F(RemoteControlRun, RequestsWaitingForTheMainThreadGiveUpAtExit) {
    finishLoading();
    auto answered = std::async(std::launch::async, [] {
        return callOnMainThread([] { return QJsonObject{{"a", 1}}; });
    });
    while (answered.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_EQ(answered.get(), QJsonObject({{"a", 1}}));

    std::atomic<bool> ran{false};
    auto waiting = std::async(std::launch::async, [&ran] {
        return callOnMainThread([&ran] {
            ran = true;
            return QJsonObject();
        });
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT); // the job is queued, not yet run
    EXPECT_FALSE(waiting.get().has_value());
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(callOnMainThread([] { return QJsonObject(); }).has_value());
}

// Without obs-websocket (as in this host) no vendor is announced (obs-websocket's own header notes its
// absence at debug level). A field of the wrong type takes the bridge's default; one left out keeps its
// value.
TEST_F(RemoteControlRun, WithoutObsWebsocketFieldsAreStillReadAsTheBridgeReadsThem) {
    finishLoading();
    EXPECT_FALSE(obshost::logLines().join('\n').contains("vendor"));

    updateRelaySettings(true, "rtmp://a/live", "stream-key", 3000);
    changeRelayFromRemote({{"bitrate", "2500"}, {"enabled", "yes"}});
    EXPECT_EQ(moduleRelay().bitrate, kDefaultRelayBitrate);
    EXPECT_FALSE(moduleRelay().enabled);
    EXPECT_EQ(moduleRelay().key, "stream-key");
}
