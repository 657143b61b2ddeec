// SPDX-License-Identifier: GPL-2.0-or-later
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
    EXPECT_EQ(tracker.rate.kbps, 0) << "the first sample only sets a base";
    setTestOutputBytes(250000); // 2,000,000 bits
    sampleStreamRate(t0 + 1010);
    EXPECT_EQ(tracker.rate.kbps, 1980);
    const int measured = tracker.rate.kbps;

    setTestOutputBytes(1000);
    sampleStreamRate(t0 + 1200);
    EXPECT_EQ(tracker.rate.kbps, measured) << "a count that went backwards changes nothing";
    EXPECT_EQ(tracker.rate.lastTotalBytes, 1000u);

    // (The module's own tick samples too once the event loop runs, so the report's rate is not compared.)
    const QJsonObject state = obsState();
    EXPECT_EQ(state.value("dropped").toInt(), 0);
    EXPECT_EQ(state.value("lastError").toString(), "");
    EXPECT_FALSE(state.value("reconnecting").toBool());

    obs_output_stop(output);
    ASSERT_TRUE(waitUntil([&] { return !obs_output_active(output); }, 5000));
    sampleStreamRate(t0 + 2000);
    EXPECT_EQ(tracker.rate.kbps, 0);
    EXPECT_EQ(tracker.rate.lastSampleMs, 0);

    setFrontendStreamingOutput(nullptr);
    tracker.rate.kbps = 5;
    sampleStreamRate(t0 + 3000);
    EXPECT_EQ(tracker.rate.kbps, 0);
    EXPECT_FALSE(obsState().contains("dropped"));
}

TEST_F(StreamRate, StateTellsHowTheStreamLastEnded) {
    start();
    EXPECT_EQ(obsState().value("lastStop").toObject(), QJsonObject({{"at", 0}, {"code", 0}, {"error", ""}}));

    // A start that fails: OBS's output stops with its code and text, and OBS raises nothing more telling.
    OBSOutputAutoRelease output = createTestOutput();
    setFrontendStreamingOutput(output);
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTING);
    ASSERT_TRUE(obs_output_start(output));
    obs_output_set_last_error(output, "Could not connect to the server.");
    obs_output_signal_stop(output, OBS_OUTPUT_CONNECT_FAILED);
    ASSERT_TRUE(
        waitUntil([&] { return obsState().value("lastStop").toObject().value("code").toInt() != 0; }, 5000));
    const QJsonObject failed = obsState().value("lastStop").toObject();
    EXPECT_EQ(failed.value("code").toInt(), OBS_OUTPUT_CONNECT_FAILED);
    EXPECT_EQ(failed.value("error").toString(), "Could not connect to the server.");
    EXPECT_GT(failed.value("at").toDouble(), 1.6e12);
    EXPECT_EQ(obsState().value("lastError").toString(), "Could not connect to the server.");

    // A stop on purpose: code 0, no error text.
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTING);
    ASSERT_TRUE(obs_output_start(output));
    obs_output_stop(output);
    EXPECT_TRUE(
        waitUntil([&] { return obsState().value("lastStop").toObject().value("code").toInt() == 0; }, 5000));
    EXPECT_EQ(obsState().value("lastStop").toObject().value("error").toString(), "");
}
