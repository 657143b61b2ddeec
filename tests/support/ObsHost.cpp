#include "support/ObsHost.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdarg>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <obs-module.h>
#include <obs-nix-platform.h>
#include <obs.h>

// Last: Xlib defines macros (None, Bool, ...) that clash with the headers above.
#include <X11/Xlib.h>

// The module's own export, linked into this test executable.
extern "C" void obs_module_set_pointer(obs_module_t *module);

namespace {
std::unique_ptr<QTemporaryDir> scratch;
std::mutex logMutex;
QStringList capturedLog;

void captureLog(int level, const char *format, va_list args, void *) {
    char line[8192];
    vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> lock(logMutex);
    capturedLog << QString::fromUtf8(line);
    if (level <= LOG_WARNING || qEnvironmentVariableIsSet("ORVANE_TEST_VERBOSE"))
        fprintf(stderr, "[libobs %d] %s\n", level, line);
}

class ObsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        scratch = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(scratch->isValid());
        base_set_log_handler(captureLog, nullptr);
        // libobs needs a display even without video; the tests run under Xvfb.
        Display *display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "no X display: run the tests under xvfb-run";
        obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
        obs_set_nix_platform_display(display);
        const QByteArray configPath = (scratch->path() + "/plugin_config/").toUtf8();
        ASSERT_TRUE(obs_startup("en-US", configPath.constData(), nullptr));

        obs_module_t *module = nullptr;
        ASSERT_EQ(obs_open_module(&module, ORVANE_TEST_STUB_MODULE, ORVANE_TEST_DATA_DIR), MODULE_SUCCESS);
        obs_module_set_pointer(module);
    }

    void TearDown() override {
        obs_shutdown();
        base_set_log_handler(nullptr, nullptr);
    }
};
} // namespace

namespace obshost {
QString scratchRoot() {
    return scratch->path();
}

QString moduleConfigDir() {
    return scratch->path() + "/plugin_config/orvane";
}

QStringList logLines() {
    std::lock_guard<std::mutex> lock(logMutex);
    return capturedLog;
}

int countLogLines(const QString &line) {
    return int(logLines().count(line));
}

void clearLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    capturedLog.clear();
}
} // namespace obshost

int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ObsEnvironment);
    return RUN_ALL_TESTS();
}
