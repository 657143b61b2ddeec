// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// Where one admitted request goes, or the refusal it gets.
struct RouteDecision {
    enum Target { Refuse, Bridge, Proxy, DockPage };
    Target target = Refuse;
    int status = 0;         // Refuse
    QByteArray contentType; // Refuse
    QByteArray body;        // Refuse
    QByteArray path;        // the request's path, decoded and normalised (see normalisedPath)
    QString targetUrl;      // Proxy: fully encoded, sent as it stands
    QByteArray proxiedPath; // Proxy: the path below "/cloud" or "/app", as targetUrl carries it
    bool toCloud = false;   // Proxy: the cloud, else the desktop app
};
