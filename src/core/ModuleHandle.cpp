// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/ModuleHandle.h"

namespace {
obs_module_t *moduleHandle = nullptr;
}

obs_module_t *orvaneModule() {
    return moduleHandle;
}

void setOrvaneModule(obs_module_t *handle) {
    moduleHandle = handle;
}
