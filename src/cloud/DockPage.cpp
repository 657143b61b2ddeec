#include "cloud/DockPage.h"

#include "cloud/ClientUserAgent.h"
#include "cloud/MimeType.h"
#include "cloud/OfflinePage.h"
#include "cloud/PageConfig.h"
#include "core/ModuleConfigPath.h"
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

namespace {
constexpr int kIndexTimeoutMs = 6000;
constexpr int kFileTimeoutMs = 15000;

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

    PageFetch fetch;
    fetch.server = &server;
    fetch.connection = socket;
    fetch.pagePath = pagePath;
    fetch.isIndex = pagePath == "/index.html";
    fetch.cacheFile = moduleConfigPath(QStringLiteral("dock-cache/")) + dockCacheFileName(pagePath);

    const QUrl url(server.cloudBase + QStringLiteral("/web/obs-dock") + QString::fromUtf8(pagePath),
                   QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setTransferTimeout(fetch.isIndex ? kIndexTimeoutMs : kFileTimeoutMs);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("User-Agent", clientUserAgent());

    fetch.reply = server.network->get(request);
    QObject::connect(fetch.reply, &QNetworkReply::finished, fetch.reply, [fetch] { onDockPageReply(fetch); });
}

void onDockPageReply(const PageFetch &fetch) {
    fetch.reply->deleteLater();
    const int status = fetch.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    QByteArray body;
    if (fetch.reply->error() == QNetworkReply::NoError && status == 200) {
        body = fetch.reply->readAll();
        storeInCache(fetch.cacheFile, body);
    } else {
        QFile cached(fetch.cacheFile);
        if (cached.open(QIODevice::ReadOnly)) {
            body = cached.readAll();
        } else if (fetch.isIndex) {
            body = offlinePage();
        } else {
            answerNotFound(fetch.connection);
            return;
        }
    }

    if (fetch.isIndex)
        body = injectPageConfig(body, pageConfigScript(fetch.server->bridgeKey, fetch.server->cloudBase));
    writeResponse(fetch.connection, 200, mimeTypeForPath(fetch.pagePath), body);
}
