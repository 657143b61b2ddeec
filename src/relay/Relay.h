#pragma once

#include "relay/RelayState.h"

#include <obs-frontend-api.h>

// Reads relay.json into the module's relay record.
void loadRelaySettings();

// Starts the relay when OBS's stream has started and stops it when that stream is stopping.
void relayOnFrontendEvent(enum obs_frontend_event event);

// Restarts a relay that should be sending; called once a second.
void relayRetryCheck();

// Stops the relay and releases its output, service and encoders; harmless when repeated.
void shutdownRelay();
