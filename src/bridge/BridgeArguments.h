// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The JSON object of a request body; anything that is not a JSON object reads as an empty one.
QJsonObject bridgeArguments(const QByteArray &body);

// A JSON string, else "".
QString stringArgument(const QJsonObject &arguments, const QString &name);
// A JSON number holding a whole number within 32 bits, else the default.
int integerArgument(const QJsonObject &arguments, const QString &name, int fallback);
// JSON true or false, else the default.
bool booleanArgument(const QJsonObject &arguments, const QString &name, bool fallback);
