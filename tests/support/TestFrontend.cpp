// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/TestFrontend.h"

#include "support/ObsHost.h"

#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QMainWindow>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <obs.hpp>
#include <util/config-file.h>
#include <utility>
#include <vector>

namespace {
struct EventCallback {
    obs_frontend_event_cb callback;
    void *privateData;
};
std::vector<EventCallback> eventCallbacks;
bool streamingActive = false;
int streamingStarts = 0;
int streamingStops = 0;
OBSOutput streamingOutput;
OBSService streamingService;
config_t *profileConfig = nullptr;
bool profileOpen = true;
QMainWindow *mainWindow = nullptr;
bool mainWindowAvailable = true;
// As in OBS 30 and later: after the exit event the front-end API is gone until the next run registers.
bool tornDown = false;
int callsAfterTeardown = 0;

std::function<void()> jobAtNextCall;

void noteCall() {
    if (tornDown)
        ++callsAfterTeardown;
    if (jobAtNextCall)
        std::exchange(jobAtNextCall, nullptr)();
}

QString profileDir() {
    return obshost::scratchRoot() + "/profile";
}
} // namespace

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *privateData) {
    noteCall();
    eventCallbacks.push_back({callback, privateData});
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *privateData) {
    noteCall();
    eventCallbacks.erase(std::remove_if(eventCallbacks.begin(), eventCallbacks.end(),
                                        [&](const EventCallback &registered) {
                                            return registered.callback == callback &&
                                                   registered.privateData == privateData;
                                        }),
                         eventCallbacks.end());
}

void emitFrontendEvent(enum obs_frontend_event event) {
    const std::vector<EventCallback> current = eventCallbacks;
    for (const EventCallback &registered : current)
        registered.callback(event, registered.privateData);
    if (event == OBS_FRONTEND_EVENT_EXIT)
        tornDown = true;
}

void runAtNextFrontendCall(std::function<void()> job) {
    jobAtNextCall = std::move(job);
}

void startNextFrontendRun() {
    tornDown = false;
}

int frontendCallsAfterTeardown() {
    return callsAfterTeardown;
}

size_t registeredFrontendCallbacks() {
    return eventCallbacks.size();
}

bool obs_frontend_streaming_active(void) {
    noteCall();
    return streamingActive;
}

void setFrontendStreaming(bool active) {
    streamingActive = active;
}

// Like OBS: "starting" at once, "started" once the output is up (a later turn of the event loop).
void obs_frontend_streaming_start(void) {
    ++streamingStarts;
    streamingActive = true;
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTING);
    QTimer::singleShot(0, [] { emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED); });
}

void obs_frontend_streaming_stop(void) {
    ++streamingStops;
    emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPING);
    QTimer::singleShot(0, [] {
        streamingActive = false;
        emitFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STOPPED);
    });
}

int frontendStreamingStarts() {
    return streamingStarts;
}

int frontendStreamingStops() {
    return streamingStops;
}

obs_output_t *obs_frontend_get_streaming_output(void) {
    noteCall();
    return obs_output_get_ref(streamingOutput);
}

void setFrontendStreamingOutput(obs_output_t *output) {
    streamingOutput = output;
}

obs_service_t *obs_frontend_get_streaming_service(void) {
    return streamingService;
}

void obs_frontend_set_streaming_service(obs_service_t *service) {
    streamingService = service;
}

// Written the way OBS writes a profile's service.json.
void obs_frontend_save_streaming_service(void) {
    if (!streamingService)
        return;
    OBSDataAutoRelease settings = obs_service_get_settings(streamingService);
    OBSDataAutoRelease saved = obs_data_create();
    obs_data_set_string(saved, "type", obs_service_get_type(streamingService));
    obs_data_set_obj(saved, "settings", settings);
    obs_data_save_json_safe(saved, (profileDir() + "/service.json").toUtf8().constData(), "tmp", "bak");
}

void clearFrontendStreamingService() {
    streamingService = nullptr;
}

config_t *obs_frontend_get_profile_config(void) {
    noteCall();
    return profileOpen ? profileConfig : nullptr;
}

char *obs_frontend_get_current_profile_path(void) {
    return bstrdup(profileDir().toUtf8().constData());
}

void resetFrontendProfile(const QString &iniText, bool withConfig) {
    if (profileConfig)
        config_close(profileConfig);
    profileConfig = nullptr;
    QDir(profileDir()).removeRecursively();
    QDir().mkpath(profileDir());
    QFile ini(profileDir() + "/basic.ini");
    if (ini.open(QIODevice::WriteOnly))
        ini.write(iniText.toUtf8());
    ini.close();
    config_open(&profileConfig, (profileDir() + "/basic.ini").toUtf8().constData(), CONFIG_OPEN_ALWAYS);
    profileOpen = withConfig;
}

QString frontendProfileDir() {
    return profileDir();
}

QMainWindow *frontendMainWindow() {
    if (!mainWindow) {
        mainWindow = new QMainWindow;
        mainWindow->setCentralWidget(new QWidget);
        mainWindow->resize(1280, 800);
        mainWindow->show();
    }
    return mainWindow;
}

void setFrontendMainWindowAvailable(bool available) {
    mainWindowAvailable = available;
}

void *obs_frontend_get_main_window(void) {
    noteCall();
    return mainWindowAvailable ? frontendMainWindow() : nullptr;
}

// Like OBS 29: the dock joins OBS's window in no dock area, and OBS's first-run layout floats it in the
// middle of the window.
#if LIBOBS_API_MAJOR_VER < 32
void *obs_frontend_add_dock(void *dock) {
    auto *dockWidget = static_cast<QDockWidget *>(dock);
    dockWidget->setParent(frontendMainWindow());
    dockWidget->setFloating(true);
    dockWidget->show();
    return nullptr;
}
#endif

#if LIBOBS_API_MAJOR_VER >= 30
// As OBS 30 does: the dock is made by OBS around the widget, named by its id, added hidden and floating.
bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget) {
    QMainWindow *window = frontendMainWindow();
    if (window->findChild<QDockWidget *>(QString::fromUtf8(id)))
        return false;
    auto *dockWidget = new QDockWidget(QString::fromUtf8(title), window);
    dockWidget->setObjectName(QString::fromUtf8(id));
    dockWidget->setWidget(static_cast<QWidget *>(widget));
    dockWidget->setFloating(true);
    dockWidget->hide();
    return true;
}
#endif
