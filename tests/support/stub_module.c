// SPDX-License-Identifier: GPL-2.0-or-later
/* An empty libobs module file named like the real one, so that the test host gets a real module handle
 * (name, config path, data path) for the module code it links in. */
#include <obs-module.h>

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module) {
    (void)module;
}

MODULE_EXPORT uint32_t obs_module_ver(void) {
    return LIBOBS_API_VER;
}

MODULE_EXPORT bool obs_module_load(void) {
    return true;
}
