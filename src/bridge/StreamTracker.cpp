#include "bridge/StreamTracker.h"

// Stream statistics come with the bridge's state report.

void onStreamEvent(enum obs_frontend_event) {}

void sampleStreamRate() {}
