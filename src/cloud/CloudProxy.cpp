#include "cloud/CloudProxy.h"

#include "cloud/AccountToken.h"
#include "cloud/ClientUserAgent.h"
#include "http/HttpRequest.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>

namespace {
constexpr int kProxyTimeoutMs = 20000;

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

} // namespace

void proxyRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                  const QString &targetUrl, bool toCloud) {
    QNetworkRequest outgoing(QUrl(targetUrl, QUrl::TolerantMode));
    outgoing.setTransferTimeout(kProxyTimeoutMs);
    outgoing.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const QByteArray contentType = request.headers.value("content-type");
    if (!contentType.isEmpty())
        outgoing.setRawHeader("Content-Type", contentType);
    outgoing.setRawHeader("Accept", "application/json");
    outgoing.setRawHeader("User-Agent", clientUserAgent());
    outgoing.setRawHeader("X-Orvane-Client", "obs-plugin");
    if (toCloud && !server.token.isEmpty())
        outgoing.setRawHeader("Authorization", "Bearer " + server.token.toUtf8());

    ProxyCall call;
    call.server = &server;
    call.connection = socket;
    call.toCloud = toCloud;
    call.linkPoll = toCloud && request.path == "/cloud/api/auth/app-link/poll";
    call.logout = toCloud && request.path == "/cloud/api/auth/logout";

    // The body travels with the reply, which owns the buffer it is read from.
    auto *body = new QBuffer;
    body->setData(request.body);
    body->open(QIODevice::ReadOnly);
    call.reply = server.network->sendCustomRequest(outgoing, request.method, body);
    body->setParent(call.reply);
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
