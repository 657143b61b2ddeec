// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "module/Lifecycle.h"
#include "server/LocalServer.h"
#include "support/ObsHost.h"
#include "support/TestFrontend.h"

#include <QDir>
#include <gtest/gtest.h>
#include <obs-module.h>

// One run of the module in the test host: loaded, optionally through OBS's finished-loading event,
// and shut down at the end of the test the way OBS does it.
class ModuleRun : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(obshost::moduleConfigDir()).removeRecursively();
        obshost::clearLog();
        startNextFrontendRun(); // when tests share a process, the last one ended with OBS's exit
        obs_module_load();
    }

    void TearDown() override {
        emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
        EXPECT_EQ(registeredFrontendCallbacks(), 0u) << "the event callback outlived the exit event";
        obs_module_unload();
        EXPECT_EQ(frontendCallsAfterTeardown(), 0) << "a front-end call after the exit event";
        setFrontendStreaming(false);
        setFrontendStreamingOutput(nullptr);
        clearFrontendStreamingService();
        qunsetenv("ORVANE_CLOUD_URL");
        qunsetenv("ORVANE_APP_URL");
    }

    LocalServer &finishLoading() {
        // After an exit event this is OBS's next run: the module is loaded afresh.
        if (registeredFrontendCallbacks() == 0) {
            obs_module_unload();
            startNextFrontendRun();
            obs_module_load();
        }
        emitFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
        EXPECT_NE(runningLocalServer(), nullptr);
        return *runningLocalServer();
    }
};
