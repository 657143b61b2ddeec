// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop's URL handler while it lives, so "open" can be watched without a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        for (const char *scheme : kSchemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override {
        for (const char *scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QList<QUrl> opened;
    static constexpr const char *kSchemes[] = {"http", "https", "file"};
public Q_SLOTS:
    void open(const QUrl &url) { opened << url; }
};
