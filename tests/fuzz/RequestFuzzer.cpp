// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds arbitrary bytes to the request parser, as one buffer and as the pieces a connection would
// see, and judges every complete head the way the server admits requests.
#include "http/RequestParser.h"
#include "http/RequestPath.h"
#include "server/LocalServer.h"
#include "server/Router.h"

#include <QUrl>
#include <cstdint>
#include <cstdlib>

namespace {
LocalServer &fuzzServer() {
    static LocalServer *server = [] {
        auto *made = new LocalServer;
        made->port = 14590;
        made->bridgeKey = QStringLiteral("0123456789abcdef0123456789abcdef");
        made->cloudBase = QStringLiteral("https://cloud.test/base");
        made->appBase = QStringLiteral("http://127.0.0.1:14563");
        return made;
    }();
    return *server;
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

void judge(const HttpRequest &request) {
    const RouteDecision decision = decideRoute(fuzzServer(), request);
    if (decision.target == RouteDecision::Refuse) {
        check(decision.status >= 400);
        return;
    }
    // What passes the checks holds no dot segment, backslash or control character once decoded.
    for (const QByteArray &segment : decision.path.split('/'))
        check(segment != "." && segment != "..");
    for (const char c : decision.path)
        check(c != '\\' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    // The far side receives the checked path: no dot segment appears in the URL's path (its query may
    // hold anything).
    if (decision.target == RouteDecision::Proxy) {
        const QUrl url = QUrl::fromEncoded(decision.targetUrl.toUtf8(), QUrl::StrictMode);
        for (const QString &segment : url.path(QUrl::FullyDecoded).split(QLatin1Char('/')))
            check(segment != QLatin1String(".") && segment != QLatin1String(".."));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const ParseOutcome whole = parseRequest(bytes);
    if (whole.kind == ParseOutcome::Complete)
        judge(whole.request);

    // The same bytes as a connection reads them: the head's end searched from where the last read
    // stopped must be the one a search of the whole buffer finds.
    const qsizetype headEnd = findHeadEnd(bytes);
    const qsizetype split = size > 0 ? qsizetype(data[0]) % (qsizetype(size) + 1) : 0;
    const qsizetype firstPart = findHeadEnd(bytes.left(int(split)));
    const qsizetype resumed = firstPart >= 0 ? firstPart : findHeadEnd(bytes, split - 3);
    check(resumed == headEnd);
    if (headEnd >= 0) {
        const ParsedHead head = parseHead(bytes, headEnd);
        check((head.kind == ParseOutcome::Complete) ==
              (whole.kind != ParseOutcome::BadRequestLine && whole.kind != ParseOutcome::BodyTooLarge));
        if (head.kind == ParseOutcome::Complete)
            judge(head.request);
    }
    return 0;
}
