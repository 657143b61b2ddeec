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
        obs_module_load();
    }

    void TearDown() override {
        emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
        obs_module_unload();
        setFrontendStreaming(false);
        setFrontendStreamingOutput(nullptr);
        clearFrontendStreamingService();
        qunsetenv("ORVANE_CLOUD_URL");
        qunsetenv("ORVANE_APP_URL");
    }

    LocalServer &finishLoading() {
        emitFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
        EXPECT_NE(runningLocalServer(), nullptr);
        return *runningLocalServer();
    }
};
