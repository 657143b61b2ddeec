// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/BridgeActions.h"

#include "bridge/BridgeArguments.h"
#include "bridge/EncoderSettings.h"
#include "bridge/ServiceSwitch.h"
#include "bridge/StateReport.h"
#include "cloud/AccountToken.h"
#include "core/ModuleVersion.h"
#include "http/HttpRequest.h"
#include "http/JsonWriter.h"
#include "http/ResponseWriter.h"
#include "relay/Relay.h"
#include "server/LocalServer.h"
#include "server/RouteDecision.h"

#include <QDesktopServices>
#include <QTimer>
#include <QUrl>
#include <obs-frontend-api.h>

namespace {
BridgeResult ok() {
    return {200, okObject(), {}};
}

BridgeResult refused(int status, const QString &message) {
    return {status, errorObject(message), {}};
}

// Operations that report failure with a text: 409 carries the text.
BridgeResult fromOutcome(bool succeeded, const QString &error) {
    return succeeded ? ok() : refused(409, error);
}

// Whether "open" may hand url to the desktop browser: only pages of the cloud itself.
bool isCloudPage(const QString &url, const QString &cloudBase) {
    // With no cloud base the prefix would be "/" and any local path would pass.
    return !cloudBase.isEmpty() && url.startsWith(cloudBase + QLatin1Char('/'));
}

// Polled every second by the page: written straight into the answer's bytes.
BridgeResult state(LocalServer &server, const QJsonObject &) {
    BridgeResult result;
    result.written.reserve(1024);
    JsonWriter json(result.written);
    json.beginObject();
    json.key("cloud").value(server.cloudBase);
    json.key("obs");
    writeStateReport(json);
    json.key("relay");
    writeRelayStatus(json);
    json.key("signedIn").value(!server.token.isEmpty());
    json.key("version").value(kModuleVersion);
    json.endObject();
    return result;
}

// The answer goes out first; OBS starts or stops on a later turn of the event loop, if still needed.
BridgeResult start(LocalServer &, const QJsonObject &) {
    QTimer::singleShot(0, [] {
        if (!obs_frontend_streaming_active())
            obs_frontend_streaming_start();
    });
    return ok();
}

BridgeResult stop(LocalServer &, const QJsonObject &) {
    QTimer::singleShot(0, [] {
        if (obs_frontend_streaming_active())
            obs_frontend_streaming_stop();
    });
    return ok();
}

BridgeResult service(LocalServer &, const QJsonObject &arguments) {
    QString error;
    const bool switched = switchToCustomService(stringArgument(arguments, QStringLiteral("server")),
                                                stringArgument(arguments, QStringLiteral("key")), error);
    return fromOutcome(switched, error);
}

BridgeResult encoder(LocalServer &, const QJsonObject &arguments) {
    QString error;
    const bool written =
        writeEncoderSettings(integerArgument(arguments, QStringLiteral("bitrate"), 0),
                             integerArgument(arguments, QStringLiteral("keyintSec"), 0), error);
    return fromOutcome(written, error);
}

BridgeResult relay(LocalServer &, const QJsonObject &arguments) {
    updateRelaySettings(booleanArgument(arguments, QStringLiteral("enabled"), false),
                        stringArgument(arguments, QStringLiteral("server")),
                        stringArgument(arguments, QStringLiteral("key")),
                        integerArgument(arguments, QStringLiteral("bitrate"), kDefaultRelayBitrate));
    return {200, relayStatusJson(), {}};
}

BridgeResult open(LocalServer &server, const QJsonObject &arguments) {
    const QString url = stringArgument(arguments, QStringLiteral("url"));
    if (!isCloudPage(url, server.cloudBase))
        return refused(400, QStringLiteral("Only Orvane pages open from here."));
    // The page must learn when no browser opened: it then shows the link itself.
    if (!QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode)))
        return refused(409, QStringLiteral("The desktop browser didn't open."));
    return ok();
}

BridgeResult signout(LocalServer &server, const QJsonObject &) {
    // A sign-out that stays on disk would sign the streamer in again at the next start.
    if (!setAccountToken(server, QString()))
        return refused(409, QStringLiteral("Sign-out couldn't be saved: the sign-in is still on disk."));
    return ok();
}

const BridgeAction kBridgeActions[] = {
    {"state", "GET", state},      {"start", "POST", start},     {"stop", "POST", stop},
    {"service", "POST", service}, {"encoder", "POST", encoder}, {"relay", "POST", relay},
    {"open", "POST", open},       {"signout", "POST", signout},
};
} // namespace

BridgeResult dispatchBridgeAction(LocalServer &server, const QByteArray &method, const QByteArray &name,
                                  const QJsonObject &arguments) {
    for (const BridgeAction &action : kBridgeActions) {
        if (name == action.name && method == action.method)
            return action.run(server, arguments);
    }
    // Every action but "state" is a POST: any other method is a wrong method, whatever the name.
    if (method != "POST")
        return refused(405, QStringLiteral("Use POST."));
    return refused(404, QStringLiteral("No such action."));
}

void answerBridgeRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                         const RouteDecision &decision) {
    static const QByteArray kPrefix("/bridge/");
    const BridgeResult result = dispatchBridgeAction(
        server, request.method, decision.path.mid(kPrefix.size()), bridgeArguments(request.body));
    if (result.written.isEmpty())
        writeJson(socket, result.status, result.body);
    else
        writeResponse(socket, result.status, kJsonContentType, result.written);
}
