// SPDX-License-Identifier: GPL-2.0-or-later
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
    bool answered = false; // the page has its answer; a later reply only refreshes the cache
};

// Serves one dock page file: fetched from the cloud, else the dock cache, else (index) the offline page.
void serveDockPage(LocalServer &server, QTcpSocket *socket, const QByteArray &path);
void onDockPageReply(PageFetch &fetch);
// Answers the page with body, the index with the page's configuration injected.
void answerPage(PageFetch &fetch, QByteArray body);

// The dock cache's file name for a page path: without the leading "/", every "/" made "_".
QString dockCacheFileName(const QByteArray &pagePath);
