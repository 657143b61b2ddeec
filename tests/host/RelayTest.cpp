#include "relay/Relay.h"
#include "core/WallClock.h"
#include "host/ModuleRun.h"
#include "relay/RelayEncoders.h"
#include "support/HttpPeer.h"
#include "support/NginxRtmp.h"
#include "support/RawClient.h"

#include <QFile>
#include <QJsonDocument>

namespace {
const QString kRetrySuffix = QStringLiteral(" Trying again every 5 seconds.");

// The relay in the test host: real libobs video and audio, x264 and AAC, rtmp_output into nginx.
class RelayRun : public ModuleRun {
protected:
    void SetUp() override {
        obshost::startVideoAndOutputs();
        ModuleRun::SetUp();
        finishLoading(); // starts the one-second tick that drives the retry
    }

    void TearDown() override {
        setFrontendStreaming(false);
        ModuleRun::TearDown();
    }

    // OBS's own stream starts: the front-end reports it as active and sends "streaming started".
    void obsStreamStarts() {
        setFrontendStreaming(true);
        emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED);
    }

    void obsStreamStops() {
        emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPING);
        setFrontendStreaming(false);
        emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    }

    bool bytesFlowTo(NginxRtmp &nginx, const QString &stream) {
        qint64 first = -1;
        return waitUntil(
            [&] {
                const qint64 now = nginx.bytesIn(stream);
                if (first <= 0)
                    first = now;
                return first > 0 && now > first;
            },
            20000);
    }

    RelayState &relay = moduleRelay();
};
} // namespace

TEST_F(RelayRun, FollowsObsStreamIntoARealRtmpServer) {
    HttpPeer publishHook;
    publishHook.setRule([](const HttpPeer::Request &) { return HttpPeer::Answer{200, "", {}, false, {}}; });
    NginxRtmp nginx(publishHook.baseUrl() + "/publish");
    ASSERT_TRUE(nginx.start());

    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    EXPECT_EQ(relay.output, nullptr) << "nothing starts before OBS streams";
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 15000)) << relay.error.toStdString();
    EXPECT_TRUE(bytesFlowTo(nginx, "relaykey"));

    // The stream key carries the client tag as query arguments.
    ASSERT_FALSE(publishHook.received.isEmpty());
    const QByteArray publish = publishHook.received.first().body;
    EXPECT_TRUE(publish.contains("name=relaykey")) << publish.constData();
    EXPECT_TRUE(publish.contains("client=orvane-obs-plugin")) << publish.constData();
    EXPECT_TRUE(publish.contains("v=1.0.0")) << publish.constData();
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane output: sending with x264 (CPU)"), 1);

    const QJsonObject status = relayStatusJson();
    EXPECT_EQ(status.value("encoder").toString(), "x264 (CPU)");
    EXPECT_EQ(status.value("bitrate").toInt(), 2500);
    EXPECT_GT(status.value("startedAt").toDouble(), 1.6e12);
    EXPECT_FALSE(status.contains("key"));

    // A second start while sending changes nothing.
    obs_output_t *output = relay.output;
    EXPECT_TRUE(startRelay());
    EXPECT_EQ(relay.output, output);

    obsStreamStops();
    EXPECT_FALSE(relay.wanted);
    EXPECT_TRUE(waitUntil([&] { return nginx.bytesIn("relaykey") < 0; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return !obs_output_active(relay.output); }, 10000));
    runEventLoopFor(200);
    EXPECT_EQ(relay.error, "");
    EXPECT_EQ(relayStatusJson().value("startedAt").toDouble(), 0.0);

    // Unchanged settings reuse the pipeline; a new key builds a new one.
    obsStreamStarts();
    EXPECT_EQ(relay.output, output);
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 15000));
    obsStreamStops();
    ASSERT_TRUE(waitUntil([&] { return !obs_output_active(relay.output); }, 10000));
    OBSWeakOutputAutoRelease previous = obs_output_get_weak_output(output);
    updateRelaySettings(true, nginx.rtmpUrl(), "otherkey", 2500);
    obsStreamStarts();
    EXPECT_EQ(OBSOutputAutoRelease(obs_weak_output_get_output(previous)).Get(), nullptr)
        << "old output released";
    EXPECT_TRUE(bytesFlowTo(nginx, "otherkey"));
}

TEST_F(RelayRun, NeverOutlivesObsStream) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);

    // OBS's stream fails: OBS raises "stopped" without "stopping".
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 15000)) << relay.error.toStdString();
    setFrontendStreaming(false);
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    EXPECT_FALSE(relay.wanted);
    EXPECT_TRUE(waitUntil([&] { return !obs_output_active(relay.output) && !relay.sending; }, 10000));

    // No event at all: the tick finds the relay sending on its own and stops it.
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 15000));
    setFrontendStreaming(false);
    relayRetryCheck(wallClockMs());
    EXPECT_TRUE(waitUntil([&] { return !obs_output_active(relay.output) && !relay.sending; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return nginx.bytesIn("relaykey") < 0; }, 10000));
}

TEST_F(RelayRun, StopWhileConnectingIsNotLost) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    for (const bool byDisabling : {false, true}) {
        obsStreamStarts();
        ASSERT_TRUE(relay.connecting);
        if (byDisabling) {
            updateRelaySettings(false, nginx.rtmpUrl(), "relaykey", 2500);
            setFrontendStreaming(false);
        } else {
            obsStreamStops();
        }
        // The connection is made after the stop; the relay must not stay on it.
        EXPECT_TRUE(waitUntil([&] { return !relay.connecting && !obs_output_active(relay.output); }, 15000));
        runEventLoopFor(1500);
        EXPECT_FALSE(obs_output_active(relay.output)) << byDisabling;
        EXPECT_FALSE(relay.sending) << byDisabling;
        updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    }
}

TEST_F(RelayRun, RetriesUntilTheServerIsReachable) {
    NginxRtmp nginx; // configured, not running yet
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    obsStreamStarts();

    ASSERT_TRUE(waitUntil([&] { return relay.error.endsWith(kRetrySuffix); }, 15000))
        << relay.error.toStdString();
    EXPECT_TRUE(relay.error.startsWith("Couldn't reach Orvane.")) << relay.error.toStdString();
    EXPECT_FALSE(relay.sending);
    EXPECT_TRUE(relay.wanted);

    ASSERT_TRUE(nginx.start());
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 20000)) << relay.error.toStdString();
    EXPECT_EQ(relay.error, "");
    EXPECT_TRUE(bytesFlowTo(nginx, "relaykey"));
}

TEST_F(RelayRun, ReconnectsWhenTheServerComesBack) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.sending; }, 15000)) << relay.error.toStdString();
    ASSERT_TRUE(bytesFlowTo(nginx, "relaykey"));

    nginx.kill();
    ASSERT_TRUE(waitUntil([&] { return relay.reconnecting; }, 20000));
    EXPECT_TRUE(relay.sending);
    ASSERT_TRUE(nginx.start());
    ASSERT_TRUE(waitUntil([&] { return !relay.reconnecting; }, 30000));
    EXPECT_TRUE(relay.sending);
    EXPECT_TRUE(bytesFlowTo(nginx, "relaykey"));
}

TEST_F(RelayRun, UnusableAddressesAreExplainedAndRetried) {
    struct Case {
        QString server;
        QString key;
    };
    for (const Case &bad :
         {Case{"http://127.0.0.1:1/live", "k"}, Case{"rtmp://no-such-host.invalid/live", "k"},
          Case{"rtmp://127.0.0.1:1/live", "key?with=query"}}) {
        relay.error.clear();
        updateRelaySettings(true, bad.server, bad.key, 2500);
        obsStreamStarts();
        EXPECT_TRUE(waitUntil([&] { return !relay.error.isEmpty() && !relay.connecting; }, 15000))
            << bad.server.toStdString();
        // Refused and unresolvable servers give no detail of their own on Linux.
        EXPECT_TRUE(relay.error == "Couldn't reach Orvane." + kRetrySuffix ||
                    relay.error == "The Orvane address is wrong." + kRetrySuffix)
            << relay.error.toStdString();
        EXPECT_FALSE(relay.sending);
        obsStreamStops();
    }
}

TEST_F(RelayRun, NoRegisteredVideoEncoderMeansNoOutput) {
    // Registered nowhere here: libobs would still hand back placeholders for these ids.
    relay.videoEncoderCandidates = {{"jim_nvenc", "NVIDIA NVENC"}, {"obs_qsv11", "Intel Quick Sync"}};
    updateRelaySettings(true, "rtmp://127.0.0.1:1/live", "k", 2500);
    obsStreamStarts();
    EXPECT_EQ(relay.error, "No video encoder could be made for the Orvane output.");
    EXPECT_EQ(relay.output, nullptr);
    EXPECT_EQ(relay.videoEncoder, nullptr);
    EXPECT_EQ(relay.service, nullptr);
    EXPECT_EQ(relayStatusJson().value("encoder").toString(), "");

    relay.videoEncoderCandidates = {{"jim_nvenc", "NVIDIA NVENC"}, {"obs_x264", "x264 (CPU)"}};
    EXPECT_TRUE(startRelay());
    EXPECT_EQ(relay.encoderLabel, "x264 (CPU)");
}

TEST_F(RelayRun, ErrorsStopSayingTheyRetryOnceNothingRetries) {
    for (const bool byDisabling : {false, true}) {
        updateRelaySettings(true, "rtmp://127.0.0.1:1/live", "k", 2500);
        obsStreamStarts();
        ASSERT_TRUE(waitUntil([&] { return relay.error.endsWith(kRetrySuffix); }, 15000));
        if (byDisabling)
            updateRelaySettings(false, "rtmp://127.0.0.1:1/live", "k", 2500);
        else
            obsStreamStops();
        EXPECT_FALSE(relay.error.isEmpty()) << "what went wrong stays";
        EXPECT_FALSE(relay.error.endsWith(kRetrySuffix)) << relay.error.toStdString();
        runEventLoopFor(300); // a stop signal still on its way must not bring the words back
        EXPECT_FALSE(relayStatusJson().value("error").toString().contains("Trying again")) << byDisabling;
        obsStreamStops();
    }
}

TEST_F(RelayRun, RetryIsIdleOnceObsStopsStreaming) {
    updateRelaySettings(true, "rtmp://127.0.0.1:1/live", "k", 2500);
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.error.endsWith(kRetrySuffix); }, 15000));
    setFrontendStreaming(false);
    relay.lastAttemptMs = 0;
    relayRetryCheck(wallClockMs());
    EXPECT_FALSE(relay.wanted);
}
