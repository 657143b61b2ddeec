// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// "Orvane-OBS-Plugin/<module version> OBS/<OBS version>": the User-Agent of every outgoing request.
QByteArray clientUserAgent();

// The running OBS version as libobs reports it.
QString runningObsVersion();
