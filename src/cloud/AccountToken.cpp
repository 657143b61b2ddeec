#include "cloud/ModuleConfigPath.h"
#include "server/LocalServer.h"

#include <obs.hpp>

void LocalServer::loadAccountToken() {
    const QByteArray path = moduleConfigPath(QStringLiteral("account.json")).toUtf8();
    OBSDataAutoRelease account = obs_data_create_from_json_file_safe(path.constData(), "bak");
    if (!account)
        return;
    token = QString::fromUtf8(obs_data_get_string(account, "token"));
}
