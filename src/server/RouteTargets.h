#pragma once

#include <QString>
#include <functional>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Where an admitted request goes. The features register their handlers here, so the server knows
// nothing of them.
struct RouteTargets {
    using Handler = std::function<void(LocalServer &, QTcpSocket *, const HttpRequest &)>;
    using ProxyHandler = std::function<void(LocalServer &, QTcpSocket *, const HttpRequest &,
                                            const QString &targetUrl, bool toCloud)>;
    Handler bridge;
    ProxyHandler proxy;
    Handler dockPage;
};
