#include "support/TestFrontend.h"

#include <algorithm>
#include <vector>

namespace {
struct EventCallback {
    obs_frontend_event_cb callback;
    void *privateData;
};
std::vector<EventCallback> eventCallbacks;
bool streamingActive = false;
} // namespace

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *privateData) {
    eventCallbacks.push_back({callback, privateData});
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *privateData) {
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
}

size_t registeredFrontendCallbacks() {
    return eventCallbacks.size();
}

bool obs_frontend_streaming_active(void) {
    return streamingActive;
}

void setFrontendStreaming(bool active) {
    streamingActive = active;
}
