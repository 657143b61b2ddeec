// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/DockPage.h"

#include "cloud/ClientUserAgent.h"
#include "cloud/MimeType.h"
#include "cloud/OfflinePage.h"
#include "cloud/PageConfig.h"
#include "core/ModuleConfigPath.h"
#include "core/WallClock.h"
#include "http/ResponseWriter.h"
#include "server/LocalServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace {
constexpr int kIndexTimeoutMs = 6000;
constexpr int kFileTimeoutMs = 15000;
constexpr qint64 kOnePageLoadMs = 5000; // how long the files of one page load keep coming

bool isServablePagePath(const QByteArray &pagePath) {
    static const QRegularExpression pattern(QStringLiteral("^/[A-Za-z0-9._/-]*$"));
    return pattern.match(QString::fromUtf8(pagePath)).hasMatch();
}

// Written through a temporary file, so a crash or a full disk never leaves half a page in the cache.
void storeInCache(const QString &cacheFile, const QByteArray &body) {
    QDir().mkpath(QFileInfo(cacheFile).absolutePath());
    QSaveFile file(cacheFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(body);
        file.commit();
    }
}

bool cloudJustFailed(const LocalServer &server) {
    return server.cloudFailedAtMs != 0 && wallClockMs() - server.cloudFailedAtMs < kOnePageLoadMs;
}

void answerNotFound(QTcpSocket *socket) {
    writeResponse(socket, 404, "text/plain", "Not found");
}
} // namespace

QString dockCacheFileName(const QByteArray &pagePath) {
    return QString::fromUtf8(pagePath.mid(1)).replace(QLatin1Char('/'), QLatin1Char('_'));
}

void serveDockPage(LocalServer &server, QTcpSocket *socket, const QByteArray &path) {
    const QByteArray pagePath = path == "/" ? QByteArray("/index.html") : path;
    if (!isServablePagePath(pagePath)) {
        answerNotFound(socket);
        return;
    }

    auto fetch = std::make_shared<PageFetch>();
    fetch->server = &server;
    fetch->connection = socket;
    fetch->pagePath = pagePath;
    fetch->isIndex = pagePath == "/index.html";
    fetch->cacheFile = moduleConfigPath(QStringLiteral("dock-cache/")) + dockCacheFileName(pagePath);

    // The rest of a page load whose cloud has just failed comes from the cache without asking again; the
    // index always asks, so that "Try again" brings the fresh page as soon as the cloud is back.
    if (!fetch->isIndex && cloudJustFailed(server)) {
        QFile cached(fetch->cacheFile);
        if (cached.open(QIODevice::ReadOnly)) {
            answerPage(*fetch, cached.readAll());
            return;
        }
    }

    const QUrl url(server.cloudBase + QStringLiteral("/web/obs-dock") + QString::fromUtf8(pagePath),
                   QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setTransferTimeout(fetch->isIndex ? kIndexTimeoutMs : kFileTimeoutMs);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("User-Agent", clientUserAgent());

    fetch->reply = server.network->get(request);
    QObject::connect(fetch->reply, &QNetworkReply::finished, fetch->reply,
                     [fetch] { onDockPageReply(*fetch); });
    // With a copy at hand the dock does not wait for a slow cloud; the fetch goes on and refreshes the cache.
    // A timer of the reply's own: it goes with the reply, and the server's teardown stops it.
    if (QFileInfo::exists(fetch->cacheFile)) {
        auto *deadline = new QTimer(fetch->reply);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, fetch->reply, [fetch] {
            QFile cached(fetch->cacheFile);
            if (fetch->answered || !cached.open(QIODevice::ReadOnly))
                return;
            fetch->server->cloudFailedAtMs = wallClockMs();
            answerPage(*fetch, cached.readAll());
        });
        deadline->start(server.limits.cachedPageDeadlineMs);
    }
}

void answerPage(PageFetch &fetch, QByteArray body) {
    fetch.answered = true;
    if (fetch.isIndex)
        body = injectPageConfig(body, pageConfigScript(fetch.server->bridgeKey, fetch.server->cloudBase));
    writeResponse(fetch.connection, 200, mimeTypeForPath(fetch.pagePath), body);
}

void onDockPageReply(PageFetch &fetch) {
    fetch.reply->deleteLater();
    const int status = fetch.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool fresh = fetch.reply->error() == QNetworkReply::NoError && status == 200;
    const QByteArray body = fresh ? fetch.reply->readAll() : QByteArray();
    if (fresh)
        storeInCache(fetch.cacheFile, body);
    // A cloud that answered at all is there; one that could not be reached, or never answered, is not.
    fetch.server->cloudFailedAtMs = status == 0 ? wallClockMs() : 0;
    if (fetch.answered)
        return;

    if (fresh) {
        answerPage(fetch, body);
        return;
    }
    QFile cached(fetch.cacheFile);
    if (cached.open(QIODevice::ReadOnly))
        answerPage(fetch, cached.readAll());
    else if (fetch.isIndex)
        answerPage(fetch, offlinePage());
    else
        answerNotFound(fetch.connection);
}
