// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QMap>

// One parsed request. Header names are trimmed and ASCII lower-cased; for a repeated name the last wins.
struct HttpRequest {
    QByteArray method;
    QByteArray path;
    QByteArray query;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};
