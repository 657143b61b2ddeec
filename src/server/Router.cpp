#include "server/Router.h"

#include "http/HttpRequest.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"

namespace {
RouteDecision refusal(int status, const QByteArray &contentType, const QByteArray &body) {
    RouteDecision decision;
    decision.status = status;
    decision.contentType = contentType;
    decision.body = body;
    return decision;
}

RouteDecision handTo(RouteDecision::Target target) {
    RouteDecision decision;
    decision.target = target;
    return decision;
}

bool hostIsAccepted(const LocalServer &server, const QByteArray &host) {
    const QByteArray port = QByteArray::number(server.port);
    return host == "127.0.0.1:" + port || host == "localhost:" + port;
}

bool bridgeKeyMatches(const LocalServer &server, const HttpRequest &request) {
    return !server.bridgeKey.isEmpty() && request.headers.value("x-ov-bridge") == server.bridgeKey.toUtf8();
}
} // namespace

RouteDecision decideRoute(const LocalServer &server, const HttpRequest &request) {
    if (!hostIsAccepted(server, request.headers.value("host")))
        return refusal(403, "text/plain", "Wrong host");
    if (request.path.contains("..") || request.path.contains('\\'))
        return refusal(400, "text/plain", "Bad path");

    const bool toBridge = request.path.startsWith("/bridge/");
    const bool toCloud = request.path.startsWith("/cloud/");
    const bool toApp = request.path.startsWith("/app/");
    if (toBridge || toCloud || toApp) {
        if (!bridgeKeyMatches(server, request))
            return refusal(403, kJsonContentType, compactJson(errorObject(QStringLiteral("Not allowed."))));
        if (toBridge)
            return handTo(RouteDecision::Bridge);

        QByteArray remainder = request.path.mid(toCloud ? 6 : 4);
        if (!request.query.isEmpty())
            remainder += '?' + request.query;
        RouteDecision decision = handTo(RouteDecision::Proxy);
        decision.toCloud = toCloud;
        decision.targetUrl = (toCloud ? server.cloudBase : server.appBase) + QString::fromUtf8(remainder);
        return decision;
    }

    if (request.method == "GET" || request.method == "HEAD")
        return handTo(RouteDecision::DockPage);
    return refusal(405, "text/plain", "Method not allowed");
}

void route(LocalServer &server, QTcpSocket *socket, const HttpRequest &request) {
    const RouteDecision decision = decideRoute(server, request);
    const RouteTargets &targets = server.routes;
    switch (decision.target) {
    case RouteDecision::Refuse:
        writeResponse(socket, decision.status, decision.contentType, decision.body);
        return;
    case RouteDecision::Bridge:
        if (targets.bridge)
            return targets.bridge(server, socket, request);
        break;
    case RouteDecision::Proxy:
        if (targets.proxy)
            return targets.proxy(server, socket, request, decision.targetUrl, decision.toCloud);
        break;
    case RouteDecision::DockPage:
        if (targets.dockPage)
            return targets.dockPage(server, socket, request);
        break;
    }
    // A target nobody registered: nothing here can answer it.
    writeResponse(socket, 404, "text/plain", "Not found");
}
