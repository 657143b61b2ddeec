// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs.h>

// obs-websocket's vendor API: requests that its clients call with CallVendorRequest, and vendor events.
// Every call is a no-op when obs-websocket is not loaded.

// obs-websocket calls it on its own threads: request data in, response data out.
using VendorRequestHandler = void (*)(obs_data_t *request, obs_data_t *response, void *data);

// Registers the vendor once (obs-websocket keeps vendors until it unloads); false without obs-websocket.
bool registerWebsocketVendor(const char *name);
bool registerVendorRequest(const char *type, VendorRequestHandler handler);
void unregisterVendorRequest(const char *type);
void emitVendorEvent(const char *type, obs_data_t *data);
