// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/ObsHost.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <memory>
#include <mutex>
#include <obs-module.h>
#include <obs-nix-platform.h>
#include <obs.h>

// Last: Xlib defines macros (None, Bool, ...) that clash with the headers above.
#include <X11/Xlib.h>

// The module's own export, linked into this test executable.
extern "C" void obs_module_set_pointer(obs_module_t *module);
extern "C" void obs_module_set_locale(const char *locale);

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
        Display *display = nullptr;
        // Many test processes open the display at once; the X server may turn one away for a moment.
        for (int attempt = 0; attempt < 50 && !display; ++attempt) {
            display = XOpenDisplay(nullptr);
            if (!display)
                QThread::msleep(100);
        }
        ASSERT_NE(display, nullptr) << "no X display: run the tests under xvfb-run";
        obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
        obs_set_nix_platform_display(display);
        const QByteArray configPath = (scratch->path() + "/plugin_config/").toUtf8();
        ASSERT_TRUE(obs_startup("en-US", configPath.constData(), nullptr));
        started = true;

        obs_module_t *module = nullptr;
        // A folder of this process's own, so a test can put files beside the module (its companion).
        const QString moduleDir = scratch->path() + "/module";
        QDir().mkpath(moduleDir);
        ASSERT_TRUE(QFile::copy(ORVANE_TEST_STUB_MODULE, moduleDir + "/orvane.so"));
        ASSERT_EQ(
            obs_open_module(&module, (moduleDir + "/orvane.so").toUtf8().constData(), ORVANE_TEST_DATA_DIR),
            MODULE_SUCCESS);
        obs_module_set_pointer(module);
        obs_module_set_locale("en-US");
    }

private:
    bool started = false;

    void TearDown() override {
        obs_shutdown();
        base_set_log_handler(nullptr, nullptr);
    }
};
} // namespace

namespace obshost {
namespace {
// Under the leak checker: libobs closes its plug-ins and the graphics driver at shutdown, and a leak
// inside a library that is gone can't be named (or suppressed by name). Keep every library mapped.
void keepLoadedLibrariesMapped() {
#ifdef __SANITIZE_ADDRESS__
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            if (info->dlpi_name && *info->dlpi_name)
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
#endif
}
} // namespace

void loadTestBrowserModule() {
    obs_module_t *module = nullptr;
    ASSERT_EQ(obs_open_module(&module, ORVANE_TEST_BROWSER_MODULE, nullptr), MODULE_SUCCESS);
}

int resetVideo(uint32_t width, uint32_t height) {
    obs_video_info video = {};
    video.graphics_module = "libobs-opengl";
    video.fps_num = 30;
    video.fps_den = 1;
    video.base_width = video.output_width = width;
    video.base_height = video.output_height = height;
    video.output_format = VIDEO_FORMAT_NV12;
    video.gpu_conversion = true;
    video.colorspace = VIDEO_CS_709;
    video.range = VIDEO_RANGE_PARTIAL;
    video.scale_type = OBS_SCALE_BICUBIC;
    return obs_reset_video(&video);
}

void startVideoAndOutputs() {
    static bool started = false;
    if (started)
        return;
    started = true;

    ASSERT_EQ(resetVideo(640, 360), OBS_VIDEO_SUCCESS);
    obs_audio_info audio = {48000, SPEAKERS_STEREO};
    ASSERT_TRUE(obs_reset_audio(&audio));

    // Not obs_load_all_modules: OBS's front-end plug-ins need OBS's own window and abort without it.
    for (const char *name : {"rtmp-services", "obs-outputs", "obs-x264", "obs-ffmpeg"}) {
        const QByteArray binary = QByteArray(ORVANE_TEST_OBS_PLUGIN_DIR) + '/' + name + ".so";
        const QByteArray data = QByteArray(ORVANE_TEST_OBS_PLUGIN_DATA_DIR) + '/' + name;
        obs_module_t *module = nullptr;
        ASSERT_EQ(obs_open_module(&module, binary.constData(), data.constData()), MODULE_SUCCESS) << name;
        ASSERT_TRUE(obs_init_module(module)) << name;
    }
    keepLoadedLibrariesMapped();
}

QString scratchRoot() {
    return scratch->path();
}

QString moduleBinaryDir() {
    return scratch->path() + "/module";
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
    // OBS ignores SIGPIPE (checked in Debian's OBS 29 and 30): so does the process that stands in for it.
    std::signal(SIGPIPE, SIG_IGN);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ObsEnvironment);
    return RUN_ALL_TESTS();
}
