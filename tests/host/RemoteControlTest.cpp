// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "relay/Relay.h"
#include "remote/MainThreadCall.h"
#include "remote/RelayHotkeys.h"
#include "remote/RemoteRelay.h"

#include <QCoreApplication>
#include <atomic>
#include <future>

namespace {
bool hotkeyRegistered(const char *name) {
    struct Search {
        const char *name;
        bool found = false;
    } search{name};
    obs_enum_hotkeys(
        [](void *data, obs_hotkey_id, obs_hotkey_t *hotkey) {
            auto *wanted = static_cast<Search *>(data);
            wanted->found = wanted->found || strcmp(obs_hotkey_get_name(hotkey), wanted->name) == 0;
            return true;
        },
        &search);
    return search.found;
}

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

// Without obs-websocket (as in this host) the hotkeys still come and go with OBS, and no vendor is announced
// (obs-websocket's own header notes its absence at debug level).
TEST_F(RemoteControlRun, HotkeysWithoutObsWebsocketAndFieldsReadAsTheBridgeReadsThem) {
    finishLoading();
    EXPECT_TRUE(hotkeyRegistered(kRelayOnHotkey));
    EXPECT_TRUE(hotkeyRegistered(kRelayOffHotkey));
    EXPECT_FALSE(obshost::logLines().join('\n').contains("vendor"));

    updateRelaySettings(false, "rtmp://a/live", "stream-key", 3000);
    changeRelayFromRemote({{"enabled", true}});
    EXPECT_EQ(remoteStatus(false)["relay"].toObject()["key"], "••••-key");
    EXPECT_TRUE(moduleRelay().enabled);
    EXPECT_EQ(moduleRelay().server, "rtmp://a/live");
    // A field of the wrong type takes the bridge's default for it.
    changeRelayFromRemote({{"bitrate", "2500"}, {"enabled", "yes"}});
    EXPECT_EQ(moduleRelay().bitrate, kDefaultRelayBitrate);
    EXPECT_FALSE(moduleRelay().enabled);
    EXPECT_EQ(moduleRelay().key, "stream-key");

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_FALSE(hotkeyRegistered(kRelayOnHotkey));
}
