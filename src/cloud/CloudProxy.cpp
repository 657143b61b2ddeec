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
LinkPollAnswer takeLinkToken(const QByteArray &body) {
    LinkPollAnswer answer;
    answer.body = body;
    QJsonObject object = QJsonDocument::fromJson(body).object();
    if (!object.contains(QStringLiteral("token")))
        return answer;
    answer.hadToken = true;
    answer.storedToken = object.take(QStringLiteral("token")).toString();
    object.insert(QStringLiteral("linked"), true);
    answer.body = compactJson(object);
    return answer;
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
    call.linkPoll = decision.toCloud && decision.proxiedPath == "/api/auth/app-link/poll";
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
    QByteArray contentType = call.reply->rawHeader("Content-Type");
    if (contentType.isEmpty())
        contentType = "application/json";
    if (call.linkPoll && status == 200) {
        const LinkPollAnswer answer = takeLinkToken(body);
        if (answer.hadToken) {
            setAccountToken(*call.server, answer.storedToken);
            body = answer.body;
        }
    }
    writeResponse(call.connection, status, contentType, body);
}
