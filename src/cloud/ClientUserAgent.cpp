// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/ClientUserAgent.h"

#include "core/ModuleVersion.h"

#include <QString>
#include <obs.h>

QString runningObsVersion() {
    return QString::fromUtf8(obs_get_version_string());
}

QByteArray clientUserAgent() {
    return QByteArray("Orvane-OBS-Plugin/") + kModuleVersion + " OBS/" + runningObsVersion().toUtf8();
}
