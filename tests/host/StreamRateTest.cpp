#include "bridge/StreamTracker.h"
#include "host/BridgeRun.h"
#include "support/TestOutput.h"

#include <QThread>
#include <obs.hpp>

using StreamRate = BridgeRun;

TEST_F(StreamRate, MeasuredFromTheSecondSampleAndKeptOverACountDrop) {
    start();
    OBSOutputAutoRelease output = createTestOutput();
    ASSERT_TRUE(obs_output_start(output));
    setFrontendStreamingOutput(output);
    setTestOutputBytes(0);
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED);
    StreamTracker &tracker = streamTracker();

    sampleStreamRate();
    EXPECT_EQ(tracker.kbps, 0) << "the first sample only sets a base";
    // Blocking, not running the event loop: the module's own tick must not sample in between.
    QThread::msleep(1000);
    setTestOutputBytes(250000); // 2,000,000 bits in a little over a second
    sampleStreamRate();
    EXPECT_GT(tracker.kbps, 1900);
    EXPECT_LE(tracker.kbps, 2000);
    const int measured = tracker.kbps;

    QThread::msleep(200);
    setTestOutputBytes(1000);
    sampleStreamRate();
    EXPECT_EQ(tracker.kbps, measured) << "a count that went backwards changes nothing";
    EXPECT_EQ(tracker.lastTotalBytes, 1000u);

    // (The module's own tick samples too once the event loop runs, so the report's rate is not compared.)
    const QJsonObject state = obsState();
    EXPECT_EQ(state.value("dropped").toInt(), 0);
    EXPECT_EQ(state.value("lastError").toString(), "");
    EXPECT_FALSE(state.value("reconnecting").toBool());

    obs_output_stop(output);
    ASSERT_TRUE(waitUntil([&] { return !obs_output_active(output); }, 5000));
    sampleStreamRate();
    EXPECT_EQ(tracker.kbps, 0);
    EXPECT_EQ(tracker.lastSampleMs, 0);

    setFrontendStreamingOutput(nullptr);
    tracker.kbps = 5;
    sampleStreamRate();
    EXPECT_EQ(tracker.kbps, 0);
    EXPECT_FALSE(obsState().contains("dropped"));
}
