// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/ModuleText.h"

#include <obs-module.h>

QString moduleText(const char *key) {
    return QString::fromUtf8(obs_module_text(key));
}
