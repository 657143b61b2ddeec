// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/CloudProxy.h"

#include "cloud/AccountToken.h"
#include "cloud/ClientUserAgent.h"
#include "http/HttpRequest.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"
#include "server/RouteDecision.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <algorithm>

namespace {
// Connection, proxy and timeout failures: no complete HTTP answer reached the module.
bool transferBroke(QNetworkReply::NetworkError error) {
    return error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

void answerUnreachable(const ProxyCall &call) {
    QJsonObject body = errorObject(call.toCloud ? QStringLiteral("Can't reach Orvane.")
                                                : QStringLiteral("The Orvane app isn't open."));
    body.insert(QStringLiteral("unreachable"), true);
    writeJson(call.connection, 502, body);
}

// A link-poll answer with its token taken out (storedToken); without a "token" member the body is untouched.
struct LinkPollAnswer {
    bool hadToken = false;
    QString storedToken;
    QByteArray body;
};
LinkPollAnswer takeLinkToken(const QByteArray &body, bool linked) {
    LinkPollAnswer answer;
    answer.body = body;
    QJsonObject object = QJsonDocument::fromJson(body).object();
    if (!object.contains(QStringLiteral("token")))
        return answer;
    answer.hadToken = true;
    answer.storedToken = object.take(QStringLiteral("token")).toString();
    if (linked)
        object.insert(QStringLiteral("linked"), true);
    answer.body = compactJson(object);
    return answer;
}

// A path as a server may read it: letter case and trailing slashes make no difference.
QByteArray comparablePath(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path.toLower();
}

// The far side's Content-Type is passed on only when it is a plain header value.
QByteArray passableContentType(const QByteArray &contentType) {
    const bool printable =
        std::all_of(contentType.begin(), contentType.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
    return contentType.isEmpty() || !printable ? QByteArray("application/json") : contentType;
}

// Qt's own call for each standard method: sent as a custom verb, a HEAD would wait for a body that
// never comes.
QNetworkReply *sendWithMethod(QNetworkAccessManager &network, const QNetworkRequest &outgoing,
                              const QByteArray &method, const QByteArray &body) {
    if (method == "GET")
        return network.get(outgoing);
    if (method == "HEAD")
        return network.head(outgoing);
    if (method == "DELETE" && body.isEmpty())
        return network.deleteResource(outgoing);
    // The body travels with the reply, which owns the buffer it is read from.
    auto *bodyBuffer = new QBuffer;
    bodyBuffer->setData(body);
    bodyBuffer->open(QIODevice::ReadOnly);
    QNetworkReply *reply = method == "POST"  ? network.post(outgoing, bodyBuffer)
                           : method == "PUT" ? network.put(outgoing, bodyBuffer)
                                             : network.sendCustomRequest(outgoing, method, bodyBuffer);
    bodyBuffer->setParent(reply);
    return reply;
}
} // namespace

void proxyRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                  const RouteDecision &decision) {
    QNetworkRequest outgoing(QUrl::fromEncoded(decision.targetUrl.toUtf8(), QUrl::StrictMode));
    outgoing.setTransferTimeout(server.limits.proxyTimeoutMs);
    outgoing.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const QByteArray contentType = request.headers.value("content-type");
    if (!contentType.isEmpty())
        outgoing.setRawHeader("Content-Type", contentType);
    outgoing.setRawHeader("Accept", "application/json");
    outgoing.setRawHeader("User-Agent", clientUserAgent());
    outgoing.setRawHeader("X-Orvane-Client", "obs-plugin");
    if (decision.toCloud && !server.token.isEmpty())
        outgoing.setRawHeader("Authorization", "Bearer " + server.token.toUtf8());

    ProxyCall call;
    call.server = &server;
    call.connection = socket;
    call.toCloud = decision.toCloud;
    // Matched on the path the cloud receives, so no spelling of it slips past.
    const QByteArray cloudPath = comparablePath(decision.proxiedPath);
    call.linkPoll = decision.toCloud && cloudPath.startsWith("/api/auth/app-link/");
    call.logout = decision.toCloud && decision.proxiedPath == "/api/auth/logout";
    call.reply = sendWithMethod(*server.network, outgoing, request.method, request.body);
    QObject::connect(call.reply, &QNetworkReply::finished, call.reply, [call] { onProxyReply(call); });
}

void onProxyReply(const ProxyCall &call) {
    call.reply->deleteLater();
    const int status = call.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        answerUnreachable(call);
        return;
    }

    if (call.logout)
        setAccountToken(*call.server, QString());
    // A body cut short is no answer to hand on as if it were whole.
    if (transferBroke(call.reply->error())) {
        answerUnreachable(call);
        return;
    }

    QByteArray body = call.reply->readAll();
    const QByteArray contentType = passableContentType(call.reply->rawHeader("Content-Type"));
    // No answer about a link ever gives the page a token; only a successful poll signs in.
    if (call.linkPoll) {
        const LinkPollAnswer answer = takeLinkToken(body, status == 200);
        if (answer.hadToken) {
            if (status == 200)
                setAccountToken(*call.server, answer.storedToken);
            body = answer.body;
        }
    }
    writeResponse(call.connection, status, contentType, body);
}
