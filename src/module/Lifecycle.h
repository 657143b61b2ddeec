// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>
#include <obs-frontend-api.h>

struct LocalServer;

// OBS's front-end event callback: feeds the stream tracker and the relay, then runs start-up and shutdown.
void onFrontendEvent(enum obs_frontend_event event, void *privateData);

// Registers onFrontendEvent with OBS once; the exit event removes it again.
void registerFrontendCallback();

// Frees what the exit event only stopped (the servers, the tick); at unload.
void releaseModuleObjects();

// The server of this run; null before OBS finished loading and after it exits.
LocalServer *runningLocalServer();

// The one-second tick's work, at the time now (ms since the Unix epoch).
void runModuleTick(qint64 now);

// True while the one-second tick is running.
bool tickIsRunning();
