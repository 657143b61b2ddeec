// SPDX-License-Identifier: GPL-2.0-or-later
#include "server/Router.h"
#include "http/HttpRequest.h"
#include "server/LocalServer.h"

#include <gtest/gtest.h>

namespace {
class RouterDecision : public ::testing::Test {
protected:
    RouterDecision() {
        server.port = 14590;
        server.bridgeKey = "0123456789abcdef0123456789abcdef";
        server.cloudBase = "https://cloud.test";
        server.appBase = "http://127.0.0.1:14563";
    }

    RouteDecision decide(const QByteArray &method, const QByteArray &path, const QByteArray &query = {},
                         const QByteArray &host = "127.0.0.1:14590", const QByteArray &key = {}) {
        HttpRequest request;
        request.method = method;
        request.path = path;
        request.query = query;
        if (!host.isNull())
            request.headers.insert("host", host);
        if (!key.isNull())
            request.headers.insert("x-ov-bridge", key);
        return decideRoute(server, request);
    }

    void expectRefusal(const RouteDecision &decision, int status, const QByteArray &body) {
        EXPECT_EQ(decision.target, RouteDecision::Refuse);
        EXPECT_EQ(decision.status, status);
        EXPECT_EQ(decision.body, body);
    }

    LocalServer server;
    const QByteArray key = "0123456789abcdef0123456789abcdef";
};
} // namespace

TEST_F(RouterDecision, HostMustNameThisServerExactly) {
    EXPECT_EQ(decide("GET", "/", {}, "127.0.0.1:14590").target, RouteDecision::DockPage);
    EXPECT_EQ(decide("GET", "/", {}, "localhost:14590").target, RouteDecision::DockPage);
    for (const QByteArray host : {"LOCALHOST:14590", "127.0.0.1", "127.0.0.1:14591", "localhost.:14590", ""})
        expectRefusal(decide("GET", "/", {}, host), 403, "Wrong host");
    expectRefusal(decide("GET", "/", {}, QByteArray()), 403, "Wrong host");
    // The host check comes before the path check.
    expectRefusal(decide("POST", "/x/../y", {}, "evil:80"), 403, "Wrong host");
}

TEST_F(RouterDecision, PathsWithDotDotOrBackslashAreRefused) {
    expectRefusal(decide("GET", "/a/../b"), 400, "Bad path");
    expectRefusal(decide("GET", "/a\\b"), 400, "Bad path");
    expectRefusal(decide("GET", "/bridge/..", {}, "127.0.0.1:14590", key), 400, "Bad path");
    EXPECT_EQ(decide("GET", "/a", "x=..").target, RouteDecision::DockPage);
    // Decoded strictly, as the far side would: encoded dots, backslashes and control characters, and
    // escapes that are not two hex digits.
    for (const QByteArray path : {"/%2e%2E/x", "/a/%2e/b", "/a%5Cb", "/a%00", "/a%zz", "/a%2", "/%2%e2e/x"})
        expectRefusal(decide("GET", path), 400, "Bad path");
    EXPECT_EQ(decide("GET", "/%69ndex.html").path, "/index.html");
    EXPECT_EQ(decide("GET", "//a///b/").path, "/a/b/");
}

TEST_F(RouterDecision, ApiPathsNeedTheBridgeKey) {
    for (const QByteArray path : {"/bridge/state", "/cloud/api/x", "/app/link"}) {
        for (const QByteArray &wrong : {QByteArray(), QByteArray(""), key.toUpper(), key.left(31) + "0"}) {
            const RouteDecision decision = decide("GET", path, {}, "127.0.0.1:14590", wrong);
            expectRefusal(decision, 403, "{\"error\":\"Not allowed.\"}");
            EXPECT_EQ(decision.contentType, "application/json; charset=utf-8");
        }
    }
    EXPECT_EQ(decide("GET", "/bridge/state", {}, "127.0.0.1:14590", key).target, RouteDecision::Bridge);
    // Methods are the targets' business.
    EXPECT_EQ(decide("DELETE", "/bridge/state", {}, "127.0.0.1:14590", key).target, RouteDecision::Bridge);

    server.bridgeKey.clear();
    expectRefusal(decide("GET", "/bridge/state", {}, "127.0.0.1:14590", ""), 403,
                  "{\"error\":\"Not allowed.\"}");
}

TEST_F(RouterDecision, ProxyPathsBecomeTargetUrls) {
    const RouteDecision cloud = decide("GET", "/cloud/api/x", "y=1", "localhost:14590", key);
    EXPECT_EQ(cloud.target, RouteDecision::Proxy);
    EXPECT_TRUE(cloud.toCloud);
    EXPECT_EQ(cloud.targetUrl, "https://cloud.test/api/x?y=1");

    const RouteDecision app = decide("POST", "/app/link/status", {}, "127.0.0.1:14590", key);
    EXPECT_FALSE(app.toCloud);
    EXPECT_EQ(app.targetUrl, "http://127.0.0.1:14563/link/status");

    EXPECT_EQ(decide("GET", "/cloud/x", "", "127.0.0.1:14590", key).targetUrl, "https://cloud.test/x");
    EXPECT_EQ(decide("GET", "/cloud/", {}, "127.0.0.1:14590", key).targetUrl, "https://cloud.test/");
}

TEST_F(RouterDecision, OtherPathsAreDockPagesForGetAndHeadOnly) {
    EXPECT_EQ(decide("GET", "/bridge").target, RouteDecision::DockPage);
    EXPECT_EQ(decide("GET", "/cloud").target, RouteDecision::DockPage);
    EXPECT_EQ(decide("HEAD", "/").target, RouteDecision::DockPage);
    expectRefusal(decide("POST", "/"), 405, "Method not allowed");
    expectRefusal(decide("get", "/"), 405, "Method not allowed");
}
