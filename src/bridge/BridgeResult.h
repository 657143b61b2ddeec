// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>

// What one bridge action answers: an HTTP status and a JSON body, as an object or as its written bytes.
struct BridgeResult {
    int status = 200;
    QJsonObject body;
    QByteArray written; // when set, the body's bytes (compact JSON, as Qt would write body)
};
