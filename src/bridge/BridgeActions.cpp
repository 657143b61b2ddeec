#include "bridge/BridgeActions.h"

#include "bridge/BridgeArguments.h"
#include "bridge/EncoderSettings.h"
#include "bridge/ServiceSwitch.h"
#include "bridge/StateReport.h"
#include "module/ModuleVersion.h"
#include "relay/Relay.h"
#include "server/HttpRequest.h"
#include "server/LocalServer.h"
#include "server/ResponseWriter.h"

#include <QDesktopServices>
#include <QTimer>
#include <QUrl>
#include <obs-frontend-api.h>

namespace {
QJsonObject stateResponse(const LocalServer &server) {
    return QJsonObject{
        {QStringLiteral("obs"), buildStateReport()},
        {QStringLiteral("relay"), relayStatusJson()},
        {QStringLiteral("signedIn"), !server.token.isEmpty()},
        {QStringLiteral("version"), QString::fromUtf8(kModuleVersion)},
        {QStringLiteral("cloud"), server.cloudBase},
    };
}

// The answer goes out first; OBS starts or stops on a later turn of the event loop, if still needed.
void startStreamingSoon() {
    QTimer::singleShot(0, [] {
        if (!obs_frontend_streaming_active())
            obs_frontend_streaming_start();
    });
}

void stopStreamingSoon() {
    QTimer::singleShot(0, [] {
        if (obs_frontend_streaming_active())
            obs_frontend_streaming_stop();
    });
}

void answerResult(QTcpSocket *socket, bool succeeded, const QString &error) {
    writeJson(socket, succeeded ? 200 : 409, succeeded ? okObject() : errorObject(error));
}
// Whether "open" may hand url to the desktop browser: only pages of the cloud itself.
bool isCloudPage(const QString &url, const QString &cloudBase) {
    // With no cloud base the prefix would be "/" and any local path would pass.
    return !cloudBase.isEmpty() && url.startsWith(cloudBase + QLatin1Char('/'));
}

} // namespace

void handleBridgeAction(LocalServer &server, QTcpSocket *socket, const HttpRequest &request) {
    const QByteArray action = request.path.mid(8);
    const QJsonObject arguments = bridgeArguments(request.body);

    if (action == "state" && request.method == "GET") {
        writeJson(socket, 200, stateResponse(server));
        return;
    }
    if (request.method != "POST") {
        writeJson(socket, 405, errorObject(QStringLiteral("Use POST.")));
        return;
    }

    QString error;
    if (action == "start") {
        writeJson(socket, 200, okObject());
        startStreamingSoon();
    } else if (action == "stop") {
        writeJson(socket, 200, okObject());
        stopStreamingSoon();
    } else if (action == "service") {
        const bool switched = switchToCustomService(stringArgument(arguments, QStringLiteral("server")),
                                                    stringArgument(arguments, QStringLiteral("key")), error);
        answerResult(socket, switched, error);
    } else if (action == "encoder") {
        const bool written =
            writeEncoderSettings(integerArgument(arguments, QStringLiteral("bitrate"), 0),
                                 integerArgument(arguments, QStringLiteral("keyintSec"), 0), error);
        answerResult(socket, written, error);
    } else if (action == "relay") {
        updateRelaySettings(booleanArgument(arguments, QStringLiteral("enabled"), false),
                            stringArgument(arguments, QStringLiteral("server")),
                            stringArgument(arguments, QStringLiteral("key")),
                            integerArgument(arguments, QStringLiteral("bitrate"), kDefaultRelayBitrate));
        writeJson(socket, 200, relayStatusJson());
    } else if (action == "open") {
        const QString url = stringArgument(arguments, QStringLiteral("url"));
        if (!isCloudPage(url, server.cloudBase)) {
            writeJson(socket, 400, errorObject(QStringLiteral("Only Orvane pages open from here.")));
            return;
        }
        QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
        writeJson(socket, 200, okObject());
    } else if (action == "signout") {
        server.setAccountToken(QString());
        writeJson(socket, 200, okObject());
    } else {
        writeJson(socket, 404, errorObject(QStringLiteral("No such action.")));
    }
}
