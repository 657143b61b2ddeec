#include "bridge/StreamTracker.h"
#include "host/BridgeRun.h"
#include "support/TestOutput.h"

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

    // The clock is given, and the event loop does not run in between: the module's own tick stays out.
    const qint64 t0 = 1'700'000'000'000;
    sampleStreamRate(t0);
    EXPECT_EQ(tracker.kbps, 0) << "the first sample only sets a base";
    setTestOutputBytes(250000); // 2,000,000 bits
    sampleStreamRate(t0 + 1010);
    EXPECT_EQ(tracker.kbps, 1980);
    const int measured = tracker.kbps;

    setTestOutputBytes(1000);
    sampleStreamRate(t0 + 1200);
    EXPECT_EQ(tracker.kbps, measured) << "a count that went backwards changes nothing";
    EXPECT_EQ(tracker.lastTotalBytes, 1000u);

    // (The module's own tick samples too once the event loop runs, so the report's rate is not compared.)
    const QJsonObject state = obsState();
    EXPECT_EQ(state.value("dropped").toInt(), 0);
    EXPECT_EQ(state.value("lastError").toString(), "");
    EXPECT_FALSE(state.value("reconnecting").toBool());

    obs_output_stop(output);
    ASSERT_TRUE(waitUntil([&] { return !obs_output_active(output); }, 5000));
    sampleStreamRate(t0 + 2000);
    EXPECT_EQ(tracker.kbps, 0);
    EXPECT_EQ(tracker.lastSampleMs, 0);

    setFrontendStreamingOutput(nullptr);
    tracker.kbps = 5;
    sampleStreamRate(t0 + 3000);
    EXPECT_EQ(tracker.kbps, 0);
    EXPECT_FALSE(obsState().contains("dropped"));
}
