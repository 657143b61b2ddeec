// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/BridgeActions.h"
#include "host/BridgeRun.h"
#include "relay/Relay.h"
#include "support/UrlCatcher.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
using BridgeActions = BridgeRun;
} // namespace

TEST_F(BridgeActions, MethodIsCheckedBeforeTheName) {
    start();
    EXPECT_EQ(bridge("GET", "state").status, 200);
    for (const QByteArray method : {"HEAD", "get", "PUT"})
        EXPECT_EQ(bridge(method, "state").json, error("Use POST.")) << method.constData();
    const Answer getStart = bridge("GET", "start");
    EXPECT_EQ(getStart.status, 405);
    EXPECT_EQ(getStart.raw, expectedResponse("405 Method Not Allowed", "application/json; charset=utf-8",
                                             "{\"error\":\"Use POST.\"}"));
    EXPECT_EQ(bridge("GET", "nothing").status, 405);

    for (const QByteArray action : {"state", "", "State", "state/", "start/", "nothing", "stop%20"}) {
        const Answer answer = bridge("POST", action);
        EXPECT_EQ(answer.status, 404) << action.constData();
        EXPECT_EQ(answer.json, error("No such action.")) << action.constData();
    }
    runEventLoopFor(50);
    EXPECT_EQ(frontendStreamingStarts(), 0);
}

TEST_F(BridgeActions, DispatchNeedsNoConnection) {
    LocalServer unstarted;
    EXPECT_EQ(dispatchBridgeAction(unstarted, "GET", "state", {}).status, 200);
    EXPECT_EQ(QJsonDocument::fromJson(dispatchBridgeAction(unstarted, "GET", "state", {}).written)
                  .object()
                  .value("signedIn"),
              false);
    EXPECT_EQ(dispatchBridgeAction(unstarted, "PUT", "nothing", {}).status, 405);
    const BridgeResult refused = dispatchBridgeAction(unstarted, "POST", "open", {{"url", "https://x/"}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body, error("Only Orvane pages open from here."));
}

TEST_F(BridgeActions, StartAndStopAnswerFirstAndActOnlyWhenNeeded) {
    start();
    EXPECT_EQ(bridge("POST", "stop").json, ok);
    runEventLoopFor(50);
    EXPECT_EQ(frontendStreamingStops(), 0);

    EXPECT_EQ(bridge("POST", "start", "not json").json, ok);
    ASSERT_TRUE(waitUntil([] { return obs_frontend_streaming_active(); }, 2000));
    EXPECT_EQ(bridge("POST", "start").json, ok);
    runEventLoopFor(50);
    EXPECT_EQ(frontendStreamingStarts(), 1);
    EXPECT_TRUE(obsState().value("startedAt").toDouble() > 0);

    EXPECT_EQ(bridge("POST", "stop").json, ok);
    ASSERT_TRUE(waitUntil([] { return !obs_frontend_streaming_active(); }, 2000));
    EXPECT_EQ(frontendStreamingStops(), 1);
}

TEST_F(BridgeActions, StateCarriesObsRelayAndSignIn) {
    writeFile(obshost::moduleConfigDir() + "/account.json", R"({"token": "secret-token"})");
    qputenv("ORVANE_CLOUD_URL", "https://cloud.test/");
    start();
    const Answer answer = bridge("GET", "state");
    EXPECT_FALSE(answer.raw.contains("secret-token"));
    EXPECT_EQ(answer.json.keys(), QStringList({"cloud", "obs", "relay", "signedIn", "version"}));
    EXPECT_EQ(answer.json.value("cloud").toString(), "https://cloud.test");
    EXPECT_EQ(answer.json.value("version").toString(), "1.0.0");
    EXPECT_TRUE(answer.json.value("signedIn").toBool());
    EXPECT_EQ(answer.json.value("relay").toObject(), relayStatusJson());

    const QJsonObject obs = answer.json.value("obs").toObject();
    EXPECT_EQ(obs.value("obsVersion").toString(), QString::fromUtf8(obs_get_version_string()));
    EXPECT_FALSE(obs.value("streaming").toBool());
    EXPECT_EQ(obs.value("startedAt").toDouble(), 0.0);
    EXPECT_EQ(obs.value("kbps").toInt(), 0);
    EXPECT_FALSE(obs.contains("dropped")) << "no streaming output yet";
    EXPECT_FALSE(obs.contains("service"));
    EXPECT_EQ(
        obs.value("video").toObject(),
        QJsonObject({{"baseWidth", 640}, {"baseHeight", 360}, {"width", 640}, {"height", 360}, {"fps", 30}}));
    EXPECT_EQ(obs.value("encoder").toObject(), QJsonObject({{"mode", "simple"},
                                                            {"encoder", "x264"},
                                                            {"codec", "h264"},
                                                            {"bitrate", 2500},
                                                            {"keyintSec", 0},
                                                            {"rateControl", "CBR"}}));

    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTING);
    EXPECT_TRUE(obsState().value("starting").toBool());
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPING);
    const QJsonObject stopping = obsState();
    EXPECT_TRUE(stopping.value("starting").toBool());
    EXPECT_TRUE(stopping.value("stopping").toBool());
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    EXPECT_FALSE(obsState().value("stopping").toBool());
    EXPECT_GT(obsState().value("stoppedAt").toDouble(), 1.6e12);

    EXPECT_EQ(bridge("POST", "signout").json, ok);
    EXPECT_FALSE(bridge("GET", "state").json.value("signedIn").toBool());
    EXPECT_FALSE(QFileInfo::exists(obshost::moduleConfigDir() + "/account.json"));
}

TEST_F(BridgeActions, RelayArgumentsFallBackToDefaults) {
    start();
    const Answer configured = bridge(
        "POST", "relay", R"({"enabled": true, "server": "rtmp://r/live", "key": "k", "bitrate": 3000})");
    EXPECT_EQ(configured.status, 200);
    EXPECT_EQ(configured.json, relayStatusJson());
    EXPECT_TRUE(configured.json.value("enabled").toBool());
    EXPECT_EQ(configured.json.value("bitrate").toInt(), 3000);
    EXPECT_FALSE(configured.raw.contains("\"key\""));

    for (const QByteArray bitrate : {"\"3000\"", "2500.5", "1e10", "true", "-3000000000"}) {
        const Answer answer = bridge(
            "POST", "relay", R"({"enabled": true, "server": "s", "key": "k", "bitrate": )" + bitrate + "}");
        EXPECT_EQ(answer.json.value("bitrate").toInt(), 6000) << bitrate.constData();
    }
    const Answer empty = bridge("POST", "relay");
    EXPECT_FALSE(empty.json.value("enabled").toBool());
    EXPECT_EQ(empty.json.value("server").toString(), "");
    finishSavingRelaySettings();
    EXPECT_EQ(readJsonFile(obshost::moduleConfigDir() + "/relay.json"),
              QJsonObject({{"enabled", false}, {"server", ""}, {"key", ""}, {"bitrate", 6000}}));
    for (const QByteArray body : {"[1,2]", "\"text\"", "{\"enabled\": \"yes\", \"server\": 5}"})
        EXPECT_FALSE(bridge("POST", "relay", body).json.value("enabled").toBool());
}

TEST_F(BridgeActions, OpenHandsOnlyCloudPagesToTheDesktop) {
    UrlCatcher catcher;
    qputenv("ORVANE_CLOUD_URL", "https://cloud.test//");
    start();

    EXPECT_EQ(bridge("POST", "open", R"({"url": "https://cloud.test/account?tab=1"})").json, ok);
    for (const QByteArray url : {"https://cloud.test", "HTTPS://cloud.test/x", "https://cloud.test.evil/x",
                                 "https://evil/x?https://cloud.test/", "", "/etc/passwd"}) {
        const Answer answer = bridge("POST", "open", R"({"url": ")" + url + "\"}");
        EXPECT_EQ(answer.status, 400) << url.constData();
        EXPECT_EQ(answer.json, error("Only Orvane pages open from here."));
    }
    EXPECT_EQ(bridge("POST", "open", R"({"url": 5})").status, 400);
    EXPECT_EQ(bridge("POST", "open").status, 400);
    EXPECT_EQ(catcher.opened, QList<QUrl>({QUrl("https://cloud.test/account?tab=1")}));
}

TEST_F(BridgeActions, OpenSaysSoWhenNoBrowserOpens) {
    // No URL handler, and the test host's platform opens nothing.
    qputenv("ORVANE_CLOUD_URL", "https://cloud.test");
    start();
    const Answer answer = bridge("POST", "open", R"({"url": "https://cloud.test/link?code=1"})");
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(answer.json, error("The desktop browser didn't open."));
}

TEST_F(BridgeActions, OpenRefusesEverythingWithoutACloudBase) {
    UrlCatcher catcher;
    qputenv("ORVANE_CLOUD_URL", "///");
    start();
    for (const QByteArray url : {"/etc/passwd", "/", "//host/share", "https://anything/"})
        EXPECT_EQ(bridge("POST", "open", R"({"url": ")" + url + "\"}").status, 400) << url.constData();
    EXPECT_TRUE(catcher.opened.isEmpty());
}
