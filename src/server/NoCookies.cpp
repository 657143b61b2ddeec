// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/NoCookies.h"

QList<QNetworkCookie> NoCookies::cookiesForUrl(const QUrl &) const {
    return {};
}

bool NoCookies::setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) {
    return false;
}
