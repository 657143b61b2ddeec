#pragma once

#include <obs-frontend-api.h>

#include <cstddef>

// The test host's stand-in for OBS's front-end: it delivers events to the callbacks the module registered.
void emitFrontendEvent(enum obs_frontend_event event);
size_t registeredFrontendCallbacks();

// OBS's streaming state as the module sees it through obs_frontend_streaming_active.
void setFrontendStreaming(bool active);
