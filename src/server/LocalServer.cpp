// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/LocalServer.h"

#include "core/CloudDefaults.h"
#include "core/Log.h"
#include "server/Connections.h"
#include "server/NoCookies.h"
#include "server/PeerAccount.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <util/base.h>

namespace {
constexpr int kLifetimeSweepMs = 100; // how late past its lifetime a connection may end

QString withoutTrailingSlashes(QString url) {
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

QString environmentOr(const char *name, const QString &fallback) {
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariable(name) : fallback;
}

// 128 bits from the system's secure random source, as 32 lower-case hex digits.
QString newBridgeKey() {
    QString key;
    for (int i = 0; i < 4; ++i)
        key += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
    return key;
}

bool listenOnLoopback(QTcpServer &listener) {
    for (int candidate = kFirstServerPort; candidate <= kLastServerPort; ++candidate) {
        if (listener.listen(QHostAddress::LocalHost, quint16(candidate)))
            return true;
    }
    return listener.listen(QHostAddress::LocalHost, 0);
}
} // namespace

LocalServer::LocalServer(RouteTargets routeTargets) : routes(std::move(routeTargets)) {}

LocalServer::~LocalServer() {
    teardown();
}

bool LocalServer::start() {
    cloudBase =
        withoutTrailingSlashes(environmentOr("ORVANE_CLOUD_URL", QString::fromUtf8(kDefaultCloudUrl)));
    appBase = withoutTrailingSlashes(environmentOr("ORVANE_APP_URL", QString::fromUtf8(kDefaultAppUrl)));
    bridgeKey = newBridgeKey();

    listener = std::make_unique<QTcpServer>();
    network = std::make_unique<QNetworkAccessManager>();
    network->setCookieJar(new NoCookies);
    peerAccounts = std::make_unique<PeerAccounts>();
    lifetimeSweep = std::make_unique<QTimer>();
    lifetimeSweep->setInterval(kLifetimeSweepMs);
    QObject::connect(lifetimeSweep.get(), &QTimer::timeout, [this] { cutExpiredConnections(*this); });
    QTcpServer *listening = listener.get();
    QObject::connect(listening, &QTcpServer::newConnection, listening, [this] { acceptPending(*this); });

    if (!listenOnLoopback(*listener)) {
        logMessage(LOG_WARNING, "Orvane dock: no local port: %s",
                   listener->errorString().toUtf8().constData());
        return false;
    }
    port = listener->serverPort();
    running = true;
    logMessage(LOG_INFO, "Orvane dock on 127.0.0.1:%d, cloud %s", int(port), cloudBase.toUtf8().constData());
    return true;
}

void LocalServer::teardown() {
    running = false;
    if (listener) {
        listener->close();
        listener->disconnect();
        for (QTcpSocket *connection : listener->findChildren<QTcpSocket *>()) {
            connection->disconnect();
            connection->abort();
        }
    }
    if (lifetimeSweep)
        lifetimeSweep->stop();
    openConnections.clear();
    if (network) {
        for (QNetworkReply *pending : network->findChildren<QNetworkReply *>()) {
            pending->disconnect();
            for (QTimer *timer : pending->findChildren<QTimer *>())
                timer->stop();
            pending->abort();
        }
    }
    token.clear();
    appBase.clear();
    cloudBase.clear();
    bridgeKey.clear();
}
