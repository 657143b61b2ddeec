// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// "<script>window.__OV={...}</script>": what the dock page needs to call back into the module.
QByteArray pageConfigScript(const QString &bridgeKey, const QString &cloudBase);

// Puts script right after the first "<head>", or in front of the whole page when there is none.
QByteArray injectPageConfig(const QByteArray &page, const QByteArray &script);
