#pragma once

#include <QJsonObject>

// What one bridge action answers: an HTTP status and a JSON body.
struct BridgeResult {
    int status = 200;
    QJsonObject body;
};
