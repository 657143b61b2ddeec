// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/ModuleConfigPath.h"

#include "core/ModuleHandle.h"

#include <util/util.hpp>

QString moduleConfigPath(const QString &name) {
    if (!orvaneModule())
        return {};
    BPtr<char> path = obs_module_get_config_path(orvaneModule(), name.toUtf8().constData());
    return path ? QString::fromUtf8(path.Get()) : QString();
}
