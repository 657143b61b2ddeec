// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/BridgeArguments.h"

#include <QJsonDocument>
#include <cmath>
#include <limits>

QJsonObject bridgeArguments(const QByteArray &body) {
    return QJsonDocument::fromJson(body).object();
}

QString stringArgument(const QJsonObject &arguments, const QString &name) {
    return arguments.value(name).toString();
}

int integerArgument(const QJsonObject &arguments, const QString &name, int fallback) {
    const QJsonValue value = arguments.value(name);
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<int>::max())
        return fallback;
    return int(number);
}

bool booleanArgument(const QJsonObject &arguments, const QString &name, bool fallback) {
    const QJsonValue value = arguments.value(name);
    return value.isBool() ? value.toBool() : fallback;
}
