// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/OfflinePage.h"

#include "core/CloudDefaults.h"

#include <QUrl>

namespace {
const char *const kOfflinePageTemplate = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Orvane</title>
<style>
html, body { margin: 0; height: 100%; background: #0e0e13; color: #e8e7f2; font: 14px system-ui, sans-serif; }
main { padding: 24px 18px; }
h1 { font-size: 18px; font-weight: 600; margin: 0 0 6px; }
p { color: #8a89a0; line-height: 1.5; margin: 0 0 16px; }
button { border: none; border-radius: 99px; padding: 10px 18px; background: #a99cff; color: #0e0e13; font: inherit; font-weight: 700; cursor: pointer; }
</style>
</head>
<body>
<main>
<h1>Can't reach Orvane</h1>
<p>The Orvane dock loads from %1 the first time. Check your internet connection, then try again.</p>
<button type="button" onclick="location.reload()">Try again</button>
</main>
</body>
</html>
)html";
} // namespace

QByteArray offlinePage() {
    static const QByteArray page = QString::fromUtf8(kOfflinePageTemplate)
                                       .arg(QUrl(QString::fromUtf8(kDefaultCloudUrl)).host())
                                       .toUtf8();
    return page;
}
