#include "cloud/AccountToken.h"

#include "core/ModuleConfigPath.h"
#include "server/LocalServer.h"

#include <obs.hpp>
#include <util/platform.h>

void loadAccountToken(LocalServer &server) {
    const QByteArray path = moduleConfigPath(QStringLiteral("account.json")).toUtf8();
    OBSDataAutoRelease account = obs_data_create_from_json_file_safe(path.constData(), "bak");
    if (!account)
        return;
    server.token = QString::fromUtf8(obs_data_get_string(account, "token"));
}

void setAccountToken(LocalServer &server, const QString &newToken) {
    server.token = newToken;
    os_mkdirs(moduleConfigPath(QString()).toUtf8().constData());
    OBSDataAutoRelease account = obs_data_create();
    obs_data_set_string(account, "token", newToken.toUtf8().constData());
    obs_data_save_json_safe(account, moduleConfigPath(QStringLiteral("account.json")).toUtf8().constData(),
                            "tmp", "bak");
}
