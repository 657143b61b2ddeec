#pragma once

#include <obs-frontend-api.h>

// Records a front-end event of OBS's own stream (phase, start and stop times).
void onStreamEvent(enum obs_frontend_event event);

// Measures the send rate of OBS's stream; called once a second.
void sampleStreamRate();
