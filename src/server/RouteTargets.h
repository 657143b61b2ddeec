// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <functional>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;
struct RouteDecision;

// Where an admitted request goes. The features register their handlers here, so the server knows
// nothing of them.
struct RouteTargets {
    using Handler =
        std::function<void(LocalServer &, QTcpSocket *, const HttpRequest &, const RouteDecision &)>;
    Handler bridge;
    Handler proxy;
    Handler dockPage;
};
