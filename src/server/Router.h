#pragma once

#include <QByteArray>
#include <QString>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// Where one admitted request goes, or the refusal it gets.
struct RouteDecision {
    enum Target { Refuse, Bridge, Proxy, DockPage };
    Target target = Refuse;
    int status = 0;         // Refuse
    QByteArray contentType; // Refuse
    QByteArray body;        // Refuse
    QString targetUrl;      // Proxy
    bool toCloud = false;   // Proxy: the cloud, else the desktop app
};

RouteDecision decideRoute(const LocalServer &server, const HttpRequest &request);

// Applies decideRoute: answers a refusal or hands the request to its target.
void route(LocalServer &server, QTcpSocket *socket, const HttpRequest &request);
