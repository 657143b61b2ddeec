// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/MimeType.h"

#include <utility>

QByteArray mimeTypeForPath(const QByteArray &pagePath) {
    static const std::pair<const char *, const char *> kTypesByEnding[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".woff2", "font/woff2"},
        {".json", "application/json"},
    };
    for (const auto &[ending, type] : kTypesByEnding) {
        if (pagePath.endsWith(ending))
            return type;
    }
    return "application/octet-stream";
}
