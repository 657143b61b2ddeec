// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/WebsocketVendor.h"

#if __has_include(<obs-websocket-api.h>)
#include <obs-websocket-api.h>
#else
// OBS 29's development files lack obs-websocket's header: the few proc-handler calls it wraps, as
// obs-websocket 5 (OBS 28 and later) defines them.
#include <callback/proc.h>

extern "C" {
typedef void *obs_websocket_vendor;
typedef void (*obs_websocket_request_callback_function)(obs_data_t *, obs_data_t *, void *);
struct obs_websocket_request_callback {
    obs_websocket_request_callback_function callback;
    void *priv_data;
};
}

namespace {
proc_handler_t *websocketProcs() {
    static proc_handler_t *procs = nullptr;
    if (!procs) {
        calldata_t data = {};
        if (proc_handler_call(obs_get_proc_handler(), "obs_websocket_api_get_ph", &data))
            procs = static_cast<proc_handler_t *>(calldata_ptr(&data, "ph"));
        calldata_free(&data);
    }
    return procs;
}

bool callVendorProc(obs_websocket_vendor vendor, const char *name, calldata_t *data) {
    proc_handler_t *procs = websocketProcs();
    if (!procs || !vendor)
        return false;
    calldata_set_ptr(data, "vendor", vendor);
    proc_handler_call(procs, name, data);
    return calldata_bool(data, "success");
}

obs_websocket_vendor obs_websocket_register_vendor(const char *name) {
    proc_handler_t *procs = websocketProcs();
    if (!procs)
        return nullptr;
    calldata_t data = {};
    calldata_set_string(&data, "name", name);
    proc_handler_call(procs, "vendor_register", &data);
    obs_websocket_vendor vendor = calldata_ptr(&data, "vendor");
    calldata_free(&data);
    return vendor;
}

bool obs_websocket_vendor_register_request(obs_websocket_vendor vendor, const char *type,
                                           obs_websocket_request_callback_function function, void *priv) {
    obs_websocket_request_callback callback = {function, priv};
    calldata_t data = {};
    calldata_set_string(&data, "type", type);
    calldata_set_ptr(&data, "callback", &callback);
    const bool registered = callVendorProc(vendor, "vendor_request_register", &data);
    calldata_free(&data);
    return registered;
}

bool obs_websocket_vendor_unregister_request(obs_websocket_vendor vendor, const char *type) {
    calldata_t data = {};
    calldata_set_string(&data, "type", type);
    const bool unregistered = callVendorProc(vendor, "vendor_request_unregister", &data);
    calldata_free(&data);
    return unregistered;
}

bool obs_websocket_vendor_emit_event(obs_websocket_vendor vendor, const char *type, obs_data_t *event) {
    calldata_t data = {};
    calldata_set_string(&data, "type", type);
    calldata_set_ptr(&data, "data", event);
    const bool emitted = callVendorProc(vendor, "vendor_event_emit", &data);
    calldata_free(&data);
    return emitted;
}
} // namespace
#endif

namespace {
obs_websocket_vendor vendor = nullptr;
}

bool registerWebsocketVendor(const char *name) {
    if (!vendor)
        vendor = obs_websocket_register_vendor(name);
    return vendor != nullptr;
}

bool registerVendorRequest(const char *type, VendorRequestHandler handler) {
    return vendor && obs_websocket_vendor_register_request(vendor, type, handler, nullptr);
}

void unregisterVendorRequest(const char *type) {
    if (vendor)
        obs_websocket_vendor_unregister_request(vendor, type);
}

void emitVendorEvent(const char *type, obs_data_t *data) {
    if (vendor)
        obs_websocket_vendor_emit_event(vendor, type, data);
}
