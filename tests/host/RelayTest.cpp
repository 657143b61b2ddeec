// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/Relay.h"
#include "core/WallClock.h"
#include "host/ModuleRun.h"
#include "relay/RelayEncoders.h"
#include "relay/RelayStopper.h"
#include "support/FlvFile.h"
#include "support/HttpPeer.h"
#include "support/NginxRtmp.h"
#include "support/RawClient.h"
#include "support/TestOutput.h"

#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>

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

// OBS's own stream in the test host, built as OBS's front-end builds it: x264 and AAC into rtmp_output,
// handed out by obs_frontend_get_streaming_output. Its encoder settings change between streams, as
// OBS's do when the streamer changes them.
class ObsOwnStream {
public:
    explicit ObsOwnStream(const QString &server) {
        OBSDataAutoRelease serviceSettings = obs_data_create();
        obs_data_set_string(serviceSettings, "server", server.toUtf8().constData());
        obs_data_set_string(serviceSettings, "key", "obsmain");
        service = obs_service_create("rtmp_custom", "obs stream service", serviceSettings, nullptr);
        video = obs_video_encoder_create("obs_x264", "obs stream video", nullptr, nullptr);
        obs_encoder_set_video(video, obs_get_video());
        audio = obs_audio_encoder_create("ffmpeg_aac", "obs stream audio", nullptr, 0, nullptr);
        obs_encoder_set_audio(audio, obs_get_audio());
        output = obs_output_create("rtmp_output", "obs stream", nullptr, nullptr);
        obs_output_set_service(output, service);
        obs_output_set_video_encoder(output, video);
        obs_output_set_audio_encoder(output, audio, 0);
        setFrontendStreamingOutput(output);
    }

    ~ObsOwnStream() {
        stop();
        setFrontendStreamingOutput(nullptr);
    }

    void encode(int bitrate, int keyintSec, const char *rateControl, uint32_t scaledWidth = 0,
                uint32_t scaledHeight = 0) {
        OBSDataAutoRelease settings = obs_data_create();
        obs_data_set_int(settings, "bitrate", bitrate);
        obs_data_set_int(settings, "keyint_sec", keyintSec);
        obs_data_set_string(settings, "rate_control", rateControl);
        obs_data_set_string(settings, "preset", "ultrafast");
        obs_encoder_update(video, settings);
        obs_encoder_set_scaled_size(video, scaledWidth, scaledHeight);
    }

    bool start() {
        return obs_output_start(output) && waitUntil([&] { return obs_output_active(output); }, 15000);
    }

    void stop() {
        if (obs_output_active(output))
            obs_output_stop(output);
        waitUntil([&] { return !obs_output_active(output); }, 15000);
    }

    OBSServiceAutoRelease service;
    OBSEncoderAutoRelease video;
    OBSEncoderAutoRelease audio;
    OBSOutputAutoRelease output;
};
} // namespace

TEST_F(RelayRun, SharesObsEncodersOnlyWhenTheyMakeTheSameStream) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    ObsOwnStream obsStream(nginx.rtmpUrl());
    const QString shared = QStringLiteral("OBS's stream encoder");
    const QString own = QStringLiteral("x264 (CPU)");

    struct Case {
        const char *what;
        int obsBitrate;
        int obsKeyint;
        const char *rateControl;
        uint32_t scaledWidth;
        int relayBitrate;
        QString expected;
    };
    // Each case is the next stream: settings changed between streams pick the right encoders.
    for (const Case &streamCase : {
             Case{"same stream", 2500, 2, "CBR", 0, 2500, shared},
             Case{"keyframes left to x264", 2500, 0, "CBR", 0, 2500, own},
             Case{"variable bitrate", 2500, 2, "VBR", 0, 2500, own},
             Case{"OBS at another bitrate", 4000, 2, "CBR", 0, 2500, own},
             Case{"relay at another bitrate", 2500, 2, "CBR", 0, 3000, own},
             Case{"OBS scales its video", 2500, 2, "CBR", 320, 2500, own},
             Case{"same stream again", 2500, 2, "cbr", 0, 2500, shared},
         }) {
        obsStream.encode(streamCase.obsBitrate, streamCase.obsKeyint, streamCase.rateControl,
                         streamCase.scaledWidth, streamCase.scaledWidth ? 180 : 0);
        updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", streamCase.relayBitrate);
        ASSERT_TRUE(obsStream.start()) << streamCase.what;
        obsStreamStarts();
        ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000))
            << streamCase.what << ": " << relay.error.toStdString();
        EXPECT_EQ(relayStatusJson().value("encoder").toString().toStdString(),
                  streamCase.expected.toStdString())
            << streamCase.what;
        EXPECT_EQ(relay.videoEncoder.Get() == obsStream.video.Get(), streamCase.expected == shared)
            << streamCase.what;
        EXPECT_TRUE(bytesFlowTo(nginx, "relaykey")) << streamCase.what;

        obsStreamStops();
        obsStream.stop();
        EXPECT_TRUE(waitUntil([&] { return retiredRelaysReleased(); }, 10000)) << streamCase.what;
    }
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane output: sending with OBS's stream encoder"), 2);
}

TEST_F(RelayRun, SharedRelayStartsOnAKeyframeAndLeavesObsStreamAlone) {
    NginxRtmp nginx({}, NginxRtmp::Recording::On);
    ASSERT_TRUE(nginx.start());
    ObsOwnStream obsStream(nginx.rtmpUrl());
    obsStream.encode(2500, 2, "CBR");
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    ASSERT_TRUE(obsStream.start());
    ASSERT_TRUE(bytesFlowTo(nginx, "obsmain"));
    runEventLoopFor(700); // the relay joins OBS's encoder between two of its keyframes
    obsStreamStarts();

    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
        EXPECT_EQ(relay.encoderLabel, "OBS's stream encoder");
        ASSERT_TRUE(bytesFlowTo(nginx, "relaykey"));
        // Some frames recorded (a different number each run, so the next join falls elsewhere in the GOP).
        ASSERT_TRUE(waitUntil(
            [&] { return readFlvVideoStart(nginx.recordingPath("relaykey")).videoFrames > 10 + 20 * run; },
            15000));

        // The relay ends on its own; OBS's stream goes on with the same encoders.
        updateRelaySettings(false, nginx.rtmpUrl(), "relaykey", 2500);
        ASSERT_TRUE(waitUntil([&] { return nginx.bytesIn("relaykey") < 0; }, 10000));
        EXPECT_TRUE(obs_output_active(obsStream.output));
        EXPECT_TRUE(bytesFlowTo(nginx, "obsmain")) << run;

        const FlvVideoStart recorded = readFlvVideoStart(nginx.recordingPath("relaykey"));
        EXPECT_TRUE(recorded.readable) << run;
        EXPECT_TRUE(recorded.sequenceHeaderFirst) << run;
        EXPECT_TRUE(recorded.firstFrameIsKeyframe) << run;
        EXPECT_GT(recorded.videoFrames, 10) << run;

        updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500); // joins the running encoder again
    }
    obsStreamStops();
    obsStream.stop();

    // Once stopped, the relay holds none of OBS's encoders: OBS may replace them before its next stream.
    EXPECT_TRUE(waitUntil([&] { return !relay.videoEncoder && !relay.audioEncoder; }, 10000));
    EXPECT_EQ(relay.output, nullptr);
}

TEST_F(RelayRun, FollowsObsStreamIntoARealRtmpServer) {
    HttpPeer publishHook;
    publishHook.setRule([](const HttpPeer::Request &) { return HttpPeer::Answer{200, "", {}, false, {}}; });
    NginxRtmp nginx(publishHook.baseUrl() + "/publish");
    ASSERT_TRUE(nginx.start());

    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    EXPECT_EQ(relay.output, nullptr) << "nothing starts before OBS streams";
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
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
    EXPECT_FALSE(relay.life.wanted());
    EXPECT_TRUE(waitUntil([&] { return nginx.bytesIn("relaykey") < 0; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return retiredRelaysReleased(); }, 10000));
    runEventLoopFor(200);
    EXPECT_EQ(relay.error, "");
    EXPECT_EQ(relayStatusJson().value("startedAt").toDouble(), 0.0);

    // A stopped output is released off the main thread; the next stream, with a new key, builds anew.
    EXPECT_EQ(relay.output, nullptr);
    updateRelaySettings(true, nginx.rtmpUrl(), "otherkey", 2500);
    obsStreamStarts();
    EXPECT_TRUE(bytesFlowTo(nginx, "otherkey"));
}

TEST_F(RelayRun, OwnEncodersFollowEveryChangeOfObsVideo) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    // Between streams the streamer changes OBS's video size; libobs frees the old video each time.
    for (const uint32_t width : {640u, 480u, 640u}) {
        ASSERT_EQ(obshost::resetVideo(width, width * 9 / 16), OBS_VIDEO_SUCCESS) << width;
        obsStreamStarts();
        ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
        EXPECT_EQ(obs_encoder_get_width(relay.videoEncoder), width);
        EXPECT_EQ(obs_output_video(relay.output), obs_get_video());
        EXPECT_TRUE(bytesFlowTo(nginx, "relaykey")) << width;
        obsStreamStops();
        ASSERT_TRUE(waitUntil([&] { return retiredRelaysReleased(); }, 10000));
    }
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane output: sending with x264 (CPU)"), 3);
}

TEST_F(RelayRun, NeverOutlivesObsStream) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);

    // OBS's stream fails: OBS raises "stopped" without "stopping".
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
    setFrontendStreaming(false);
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    EXPECT_FALSE(relay.life.wanted());
    EXPECT_TRUE(waitUntil([&] { return retiredRelaysReleased() && !relay.life.sending(); }, 10000));

    // No event at all: the tick finds the relay sending on its own and stops it.
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000));
    setFrontendStreaming(false);
    relayRetryCheck(wallClockMs());
    EXPECT_TRUE(waitUntil([&] { return retiredRelaysReleased() && !relay.life.sending(); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return nginx.bytesIn("relaykey") < 0; }, 10000));
}

TEST_F(RelayRun, StopWhileConnectingIsNotLost) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    for (const bool byDisabling : {false, true}) {
        obsStreamStarts();
        ASSERT_TRUE(relay.life.connecting());
        if (byDisabling) {
            updateRelaySettings(false, nginx.rtmpUrl(), "relaykey", 2500);
            setFrontendStreaming(false);
        } else {
            obsStreamStops();
        }
        // The connection is made after the stop; the relay must not stay on it.
        EXPECT_TRUE(waitUntil([&] { return !relay.life.connecting() && retiredRelaysReleased(); }, 15000));
        runEventLoopFor(1500);
        EXPECT_FALSE(obs_output_active(relay.output)) << byDisabling;
        EXPECT_FALSE(relay.life.sending()) << byDisabling;
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
    EXPECT_FALSE(relay.life.sending());
    EXPECT_TRUE(relay.life.wanted());

    ASSERT_TRUE(nginx.start());
    ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 20000)) << relay.error.toStdString();
    EXPECT_EQ(relay.error, "");
    EXPECT_TRUE(bytesFlowTo(nginx, "relaykey"));
}

TEST_F(RelayRun, ReconnectsWhenTheServerComesBack) {
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
    ASSERT_TRUE(bytesFlowTo(nginx, "relaykey"));

    nginx.kill();
    ASSERT_TRUE(waitUntil([&] { return relay.life.reconnecting(); }, 20000));
    EXPECT_TRUE(relay.error.endsWith(kRetrySuffix)) << relay.error.toStdString();
    ASSERT_TRUE(nginx.start());
    ASSERT_TRUE(waitUntil([&] { return !relay.life.reconnecting(); }, 30000));
    EXPECT_TRUE(relay.life.sending());
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
        EXPECT_TRUE(waitUntil([&] { return !relay.error.isEmpty() && !relay.life.connecting(); }, 15000))
            << bad.server.toStdString();
        // What the streamer must read: what went wrong and that it retries; OBS may add its own detail.
        EXPECT_TRUE(relay.error.startsWith("Couldn't reach Orvane.") ||
                    relay.error.startsWith("The Orvane address is wrong."))
            << relay.error.toStdString();
        EXPECT_TRUE(relay.error.endsWith(kRetrySuffix)) << relay.error.toStdString();
        EXPECT_FALSE(relay.life.sending());
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
    relayRetryCheck(wallClockMs());
    EXPECT_FALSE(relay.life.wanted());
}

// Turned off while it waits on a server that accepts and never answers, the relay gives the attempt up at
// once, without an error; turned on again with a working server, it goes there without waiting it out.
TEST_F(RelayRun, TurningOffGivesUpAWaitingAttempt) {
    QTcpServer silent; // accepts (the kernel does) and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.start());
    updateRelaySettings(true, QStringLiteral("rtmp://127.0.0.1:%1/live").arg(silent.serverPort()), "k", 2500);
    obsStreamStarts();
    ASSERT_TRUE(waitUntil([&] { return silent.hasPendingConnections(); }, 10000));

    updateRelaySettings(false, nginx.rtmpUrl(), "relaykey", 2500);
    EXPECT_TRUE(waitUntil([&] { return !relay.life.connecting(); }, 5000)) << "the attempt was waited out";
    EXPECT_EQ(relay.error, "");
    updateRelaySettings(true, nginx.rtmpUrl(), "relaykey", 2500);
    EXPECT_TRUE(waitUntil([&] { return relay.life.sending(); }, 15000)) << relay.error.toStdString();
}
