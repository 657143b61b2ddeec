// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <obs-frontend-api.h>

#include <cstddef>
#include <functional>

// The test host's stand-in for OBS's front-end, over real libobs objects and real profile files:
// it delivers events to the callbacks the module registered, keeps a streaming state, a streaming
// service (saved as service.json) and a profile (basic.ini) in a folder of its own.

void emitFrontendEvent(enum obs_frontend_event event);
size_t registeredFrontendCallbacks();
// Front-end calls the module made after the exit event had been delivered (OBS 30 has no front-end then).
int frontendCallsAfterTeardown();
// Runs job inside the module's next front-end call, as OBS 29.0.2's SIGINT handler runs OBS's whole exit
// in the middle of whatever the main thread is doing.
void runAtNextFrontendCall(std::function<void()> job);
// OBS's next run: the front-end is back (the module must be loaded again to use it).
void startNextFrontendRun();

// OBS's streaming state as obs_frontend_streaming_active reports it.
void setFrontendStreaming(bool active);
// How often the module asked OBS to start or stop streaming.
int frontendStreamingStarts();
int frontendStreamingStops();

// What obs_frontend_get_streaming_output returns (a reference is taken); null for none.
void setFrontendStreamingOutput(obs_output_t *output);

// A fresh profile folder with basic.ini holding iniText; withConfig false: OBS has no profile open.
void resetFrontendProfile(const QString &iniText, bool withConfig = true);
QString frontendProfileDir();
// Drops the streaming service (none set).
void clearFrontendStreamingService();

// OBS's main window (a real QMainWindow, made on first use) and the docks added to it.
class QMainWindow;
QMainWindow *frontendMainWindow();
// Whether obs_frontend_get_main_window hands the window out (false: OBS has no window yet).
void setFrontendMainWindowAvailable(bool available);
