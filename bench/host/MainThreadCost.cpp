// SPDX-License-Identifier: GPL-2.0-or-later
// What one request and one tick cost OBS's main thread, in instructions. Run under
// valgrind --tool=callgrind --collect-atstart=no --separate-threads=yes (bench/run.py does): each phase is
// collected alone and dumped under its name; thread 1 is the main thread. Without valgrind it only runs.
#include "ServeRequests.h"
#include "host/BridgeRun.h"
#include "module/Lifecycle.h"
#include "support/TestOutput.h"

#include <QCoreApplication>
#include <obs.hpp>
#include <valgrind/callgrind.h>

namespace {
int phaseCount() {
    const int count = qEnvironmentVariableIntValue("ORVANE_BENCH_COUNT");
    return count > 0 ? count : 200;
}

template <typename Work> void measure(const char *phase, Work work) {
    CALLGRIND_TOGGLE_COLLECT;
    work();
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(phase);
}

class MainThreadCost : public BridgeRun {};
} // namespace

TEST_F(MainThreadCost, RequestsAndTicks) {
    start();
    const int count = phaseCount();
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const QByteArray refused = "GET /bridge/state HTTP/1.1\r\n" + host + "\r\n";
    const QByteArray state =
        "GET /bridge/state HTTP/1.1\r\n" + host + "x-ov-bridge: " + server->bridgeKey.toUtf8() + "\r\n\r\n";

    // OBS streams, so the report and the tick read a live output.
    OBSOutputAutoRelease output = createTestOutput();
    ASSERT_TRUE(obs_output_start(output));
    setFrontendStreamingOutput(output);
    setFrontendStreaming(true);
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED);

    ASSERT_EQ(serveRequests(port, state, 20), 20); // warm-up
    measure("refused", [&] { EXPECT_EQ(serveRequests(port, refused, count), count); });
    measure("state-simple", [&] { EXPECT_EQ(serveRequests(port, state, count), count); });

    resetFrontendProfile("[General]\nName=Untitled\n[Output]\nMode=Advanced\n[AdvOut]\nEncoder=obs_x264\n");
    writeFile(frontendProfileDir() + "/streamEncoder.json",
              R"({"rate_control":"CBR","bitrate":6000,"keyint_sec":2,"preset":"veryfast"})");
    ASSERT_EQ(serveRequests(port, state, 20), 20);
    measure("state-advanced", [&] { EXPECT_EQ(serveRequests(port, state, count), count); });

    qint64 now = 1'700'000'000'000;
    measure("tick", [&] {
        for (int index = 0; index < count; ++index) {
            setTestOutputBytes(uint64_t(index) * 750000);
            runModuleTick(now += 1000);
        }
    });

    obs_output_stop(output);
    setFrontendStreaming(false);
    setFrontendStreamingOutput(nullptr);
}
