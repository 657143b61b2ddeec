// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QNetworkCookie>
#include <QNetworkCookieJar>

// A cookie jar that keeps nothing: the cloud and the app authenticate only through the Authorization header.
class NoCookies : public QNetworkCookieJar {
public:
    QList<QNetworkCookie> cookiesForUrl(const QUrl &url) const override;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookies, const QUrl &url) override;
};
