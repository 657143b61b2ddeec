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

    // "Busy" means nothing was done: a job the main thread did not get to in time never runs after.
    std::atomic<bool> late{false};
    auto busy = std::async(std::launch::async, [&late] {
        return callOnMainThread([&late] {
            late = true;
            return QJsonObject();
        });
    });
    EXPECT_FALSE(busy.get().has_value()); // the main thread is held here, past the caller's wait
    QCoreApplication::processEvents();
    EXPECT_FALSE(late);

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
// absence at debug level). What the relay can't use is refused by its name and changes nothing, as text
// fields from a button deck would; a field left out keeps its value.
TEST_F(RemoteControlRun, UnusableFieldsAreRefusedByNameAndChangeNothing) {
    finishLoading();
    EXPECT_FALSE(obshost::logLines().join('\n').contains("vendor"));

    updateRelaySettings(false, "rtmp://a/live", "stream-key", 3000);
    const std::pair<QJsonObject, QString> refused[] = {
        {{{"bitrate", "2500"}, {"enabled", true}},
         "bitrate: must be a whole number of kbit/s from 500 to 50000."},
        {{{"bitrate", 100}}, "bitrate: "},
        {{{"bitrate", 2500.5}}, "bitrate: "},
        {{{"enabled", "yes"}}, "enabled: "},
        {{{"key", 42}}, "key: "},
        {{{"server", ""}, {"enabled", true}}, "server: The Orvane address is wrong."},
    };
    for (const auto &[fields, refusal] : refused) {
        EXPECT_TRUE(changeRelayFromRemote(fields).startsWith(refusal)) << refusal.toStdString();
        EXPECT_EQ(moduleRelay().bitrate, 3000);
        EXPECT_EQ(moduleRelay().server, "rtmp://a/live");
        EXPECT_FALSE(moduleRelay().enabled);
    }
    EXPECT_EQ(changeRelayFromRemote({{"bitrate", 2500}, {"server", "RTMPS://b.example/app"}}), "");
    EXPECT_EQ(moduleRelay().bitrate, 2500);
    EXPECT_EQ(moduleRelay().server, "RTMPS://b.example/app");
    EXPECT_EQ(moduleRelay().key, "stream-key");
}
