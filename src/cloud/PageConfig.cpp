// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/PageConfig.h"

#include "cloud/ClientUserAgent.h"
#include "core/ModuleVersion.h"
#include "http/ResponseWriter.h"

#include <QJsonObject>

QByteArray pageConfigScript(const QString &bridgeKey, const QString &cloudBase) {
    const QJsonObject config{
        {QStringLiteral("bridge"), bridgeKey},
        {QStringLiteral("cloud"), cloudBase},
        {QStringLiteral("obs"), runningObsVersion()},
        {QStringLiteral("version"), QString::fromUtf8(kModuleVersion)},
    };
    return "<script>window.__OV=" + compactJson(config) + "</script>";
}

QByteArray injectPageConfig(const QByteArray &page, const QByteArray &script) {
    static const QByteArray kHeadTag("<head>");
    const int head = page.indexOf(kHeadTag);
    if (head < 0)
        return script + page;
    QByteArray injected = page;
    injected.insert(head + kHeadTag.size(), script);
    return injected;
}
