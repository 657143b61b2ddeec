#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>

class QNetworkReply;
class QTcpSocket;
struct LocalServer;

// What one page fetch carries from the request to its reply.
struct PageFetch {
    LocalServer *server = nullptr;
    QNetworkReply *reply = nullptr;
    QPointer<QTcpSocket> connection; // empty once the page's connection is gone
    QByteArray pagePath;
    bool isIndex = false;
    QString cacheFile;
};

// Serves one dock page file: fetched from the cloud, else the dock cache, else (index) the offline page.
void serveDockPage(LocalServer &server, QTcpSocket *socket, const QByteArray &path);
void onDockPageReply(const PageFetch &fetch);

// The dock cache's file name for a page path: without the leading "/", every "/" made "_".
QString dockCacheFileName(const QByteArray &pagePath);
