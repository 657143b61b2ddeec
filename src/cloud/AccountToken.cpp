// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/AccountToken.h"

#include "core/ModuleConfigPath.h"
#include "core/SettingsFile.h"
#include "server/LocalServer.h"

#include <obs.hpp>

namespace {
QString accountFilePath() {
    return moduleConfigPath(QStringLiteral("account.json"));
}
} // namespace

// The token file keeps no backup: after a sign-out no copy of the old token may remain, nor come back.
void loadAccountToken(LocalServer &server) {
    OBSDataAutoRelease account = readSettingsFile(accountFilePath(), nullptr);
    if (!account)
        return;
    server.token = QString::fromUtf8(obs_data_get_string(account, "token"));
}

bool setAccountToken(LocalServer &server, const QString &newToken) {
    server.token = newToken;
    // Signing out removes the file: that works on a full disk, where writing an empty token would not.
    if (newToken.isEmpty())
        return removeSettingsFile(accountFilePath());
    OBSDataAutoRelease account = obs_data_create();
    obs_data_set_string(account, "token", newToken.toUtf8().constData());
    return writeOwnerOnlySettingsFile(accountFilePath(), account, false);
}
