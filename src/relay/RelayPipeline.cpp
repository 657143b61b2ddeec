#include "relay/Relay.h"

void relayOnFrontendEvent(enum obs_frontend_event) {}

void shutdownRelay() {}
