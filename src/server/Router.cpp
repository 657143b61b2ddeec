// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/Router.h"

#include "http/HttpRequest.h"
#include "http/RequestPath.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"

#include <QUrl>

namespace {
RouteDecision refusal(int status, const QByteArray &contentType, const QByteArray &body) {
    RouteDecision decision;
    decision.status = status;
    decision.contentType = contentType;
    decision.body = body;
    return decision;
}

RouteDecision handTo(RouteDecision::Target target, const QByteArray &path) {
    RouteDecision decision;
    decision.target = target;
    decision.path = path;
    return decision;
}

// The far side gets the checked path exactly: set decoded, so Qt neither decodes nor resolves it again.
QString proxyTargetUrl(const QString &base, const QByteArray &path, const QByteArray &query) {
    QUrl url(base, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyDecoded) + QString::fromUtf8(path), QUrl::DecodedMode);
    if (!query.isEmpty())
        url.setQuery(QString::fromUtf8(query), QUrl::TolerantMode);
    return url.toString(QUrl::FullyEncoded);
}

bool hostIsAccepted(const LocalServer &server, const QByteArray &host) {
    const QByteArray port = QByteArray::number(server.port);
    return host == "127.0.0.1:" + port || host == "localhost:" + port;
}

// The same bytes for every refused key: built once.
const QByteArray &notAllowedBody() {
    static const QByteArray body = compactJson(errorObject(QStringLiteral("Not allowed.")));
    return body;
}

bool bridgeKeyMatches(const LocalServer &server, const HttpRequest &request) {
    return !server.bridgeKey.isEmpty() && request.headers.value("x-ov-bridge") == server.bridgeKey.toUtf8();
}
} // namespace

RouteDecision decideRoute(const LocalServer &server, const HttpRequest &request) {
    if (!hostIsAccepted(server, request.headers.value("host")))
        return refusal(403, "text/plain", "Wrong host");
    const std::optional<QByteArray> path = normalisedPath(request.path);
    if (!path || request.path.contains("..") || request.path.contains('\\'))
        return refusal(400, "text/plain", "Bad path");

    const bool toBridge = path->startsWith("/bridge/");
    const bool toCloud = path->startsWith("/cloud/");
    const bool toApp = path->startsWith("/app/");
    if (toBridge || toCloud || toApp) {
        if (!bridgeKeyMatches(server, request))
            return refusal(403, kJsonContentType, notAllowedBody());
        if (toBridge)
            return handTo(RouteDecision::Bridge, *path);

        RouteDecision decision = handTo(RouteDecision::Proxy, *path);
        decision.toCloud = toCloud;
        decision.proxiedPath = path->mid(toCloud ? 6 : 4);
        decision.targetUrl =
            proxyTargetUrl(toCloud ? server.cloudBase : server.appBase, decision.proxiedPath, request.query);
        return decision;
    }

    if (request.method == "GET" || request.method == "HEAD")
        return handTo(RouteDecision::DockPage, *path);
    return refusal(405, "text/plain", "Method not allowed");
}

void dispatchRoute(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                   const RouteDecision &decision) {
    const RouteTargets &targets = server.routes;
    const RouteTargets::Handler *handler = nullptr;
    switch (decision.target) {
    case RouteDecision::Refuse:
        writeResponse(socket, decision.status, decision.contentType, decision.body);
        return;
    case RouteDecision::Bridge:
        handler = &targets.bridge;
        break;
    case RouteDecision::Proxy:
        handler = &targets.proxy;
        break;
    case RouteDecision::DockPage:
        handler = &targets.dockPage;
        break;
    }
    if (handler && *handler)
        (*handler)(server, socket, request, decision);
    else // a target nobody registered: nothing here can answer it
        writeResponse(socket, 404, "text/plain", "Not found");
}
