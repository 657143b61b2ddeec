// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/Log.h"
#include "core/ModuleHandle.h"
#include "core/ModuleVersion.h"
#include "dock/DockPanel.h"
#include "module/Lifecycle.h"
#include "module/SigintDeferral.h"
#include "module/TimedStep.h"
#include "relay/Relay.h"

#include <obs-frontend-api.h>

namespace {
lookup_t *localeLookup = nullptr;

// The libobs API version the module is built for (31.1.1); OBS 29 loads it without comparing.
constexpr uint32_t kModuleApiVersion = 0x1F010001;
} // namespace

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *handle) {
    setOrvaneModule(handle);
}

MODULE_EXPORT uint32_t obs_module_ver(void) {
    return kModuleApiVersion;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale) {
    if (localeLookup)
        text_lookup_destroy(localeLookup);
    localeLookup = obs_module_load_locale(orvaneModule(), "en-US", locale);
}

MODULE_EXPORT void obs_module_free_locale(void) {
    text_lookup_destroy(localeLookup);
    localeLookup = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char *key, const char **out) {
    return localeLookup && text_lookup_getstr(localeLookup, key, out);
}

MODULE_EXPORT const char *obs_module_text(const char *key) {
    const char *text = key;
    obs_module_get_string(key, &text);
    return text;
}

// The name OBS 32's plug-in manager shows when it has no manifest.json to read.
MODULE_EXPORT const char *obs_module_name(void) {
    return "Orvane";
}

MODULE_EXPORT const char *obs_module_description(void) {
    return "Orvane: check everything, then go live on all your platforms from one dock.";
}

MODULE_EXPORT bool obs_module_load(void) {
    loadRelaySettings();
    createDockPlaceholder();
    registerFrontendCallback();
    deferSigintToMainLoop();
    logMessage(LOG_INFO, "loaded (version %s)", kModuleVersion);
    return true;
}

// No front-end call from here: OBS 30 and later have torn the front-end API down by now, and the
// callback went at the exit event.
MODULE_EXPORT void obs_module_unload(void) {
    runTimedStep("exit: stopping the Orvane output", shutdownRelay);
    runTimedStep("exit: releasing the module's objects", releaseModuleObjects);
    stopClosingOnSigint();
}
