// What one request and one tick cost OBS's main thread, in instructions. Run under
// valgrind --tool=callgrind --collect-atstart=no --separate-threads=yes (bench/run.py does): each phase is
// collected alone and dumped under its name; thread 1 is the main thread. Without valgrind it only runs.
#include "host/BridgeRun.h"
#include "module/Lifecycle.h"
#include "support/TestOutput.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <obs.hpp>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <valgrind/callgrind.h>

namespace {
int phaseCount() {
    const int count = qEnvironmentVariableIntValue("ORVANE_BENCH_COUNT");
    return count > 0 ? count : 200;
}

// One request on a new connection, as the dock page makes them; read until the server closes.
bool requestOnce(quint16 port, const QByteArray &request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        send(fd, request.constData(), size_t(request.size()), 0) == request.size()) {
        char buffer[16384];
        ssize_t got = 0;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
            answered = true;
    }
    close(fd);
    return answered;
}

// The client runs on its own thread; the main thread serves, as OBS's does.
int serveRequests(quint16 port, const QByteArray &request, int count) {
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::thread client([&] {
        for (int index = 0; index < count; ++index)
            answered += requestOnce(port, request) ? 1 : 0;
        done = true;
        QMetaObject::invokeMethod(
            qApp, [] {}, Qt::QueuedConnection); // wakes the main thread
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    client.join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return answered;
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
