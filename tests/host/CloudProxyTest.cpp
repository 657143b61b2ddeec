// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "support/HttpPeer.h"
#include "support/RawClient.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
using Answer = HttpPeer::Answer;

class ProxyRun : public ModuleRun {
protected:
    void SetUp() override {
        ModuleRun::SetUp();
        qputenv("ORVANE_CLOUD_URL", cloud.baseUrl().toUtf8() + "/");
        qputenv("ORVANE_APP_URL", app.baseUrl().toUtf8());
    }

    void start(const QByteArray &storedToken = {}) {
        if (!storedToken.isEmpty())
            writeAccount("{\"token\": \"" + storedToken + "\"}");
        LocalServer &server = finishLoading();
        port = server.port;
        key = server.bridgeKey.toUtf8();
    }

    static void writeAccount(const QByteArray &json) {
        QDir().mkpath(obshost::moduleConfigDir());
        QFile file(obshost::moduleConfigDir() + "/account.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
    }

    // The token on disk; signed out, there is no file and so none.
    static QString storedToken() {
        QFile file(obshost::moduleConfigDir() + "/account.json");
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QJsonDocument::fromJson(file.readAll()).object().value("token").toString("<none>");
    }

    QByteArray call(const QByteArray &method, const QByteArray &target, const QByteArray &extraHeaders = {},
                    const QByteArray &body = {}, int timeoutMs = 10000) {
        QByteArray headers = "x-ov-bridge: " + key + "\r\n" + extraHeaders;
        if (!body.isEmpty())
            headers += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        return exchange(port, requestFor(port, method, target, headers) + body, timeoutMs).received;
    }

    static void answerAlways(HttpPeer &peer, const Answer &answer) {
        peer.setRule([answer](const HttpPeer::Request &) { return answer; });
    }

    HttpPeer cloud;
    HttpPeer app;
    quint16 port = 0;
    QByteArray key;
};

const QByteArray kJson = "application/json; charset=utf-8";
const QByteArray kCantReachCloud = "{\"error\":\"Can't reach Orvane.\",\"unreachable\":true}";
} // namespace

TEST_F(ProxyRun, CloudCallsCarryTheClientHeadersAndTheTokenButNothingOfThePage) {
    answerAlways(cloud, Answer{200, "{\"a\":1}", {{"Content-Type", "application/json"}}, false, {}});
    start("tok-1");
    EXPECT_EQ(call("GET", "/cloud/api/x?y=1&z=%20",
                   "Authorization: Bearer page-made\r\nCookie: s=1\r\nAccept: text/html\r\nX-Other: 1\r\n"),
              expectedResponse("200 OK", "application/json", "{\"a\":1}"));

    ASSERT_EQ(cloud.received.size(), 1);
    const HttpPeer::Request &sent = cloud.received.first();
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.target, "/api/x?y=1&z=%20");
    EXPECT_EQ(sent.headers.value("authorization"), "Bearer tok-1");
    EXPECT_EQ(sent.headers.value("accept"), "application/json");
    EXPECT_EQ(sent.headers.value("x-orvane-client"), "obs-plugin");
    EXPECT_TRUE(sent.headers.value("user-agent").startsWith("Orvane-OBS-Plugin/1.0.0 OBS/"));
    for (const char *absent : {"cookie", "x-ov-bridge", "x-other", "content-type"})
        EXPECT_FALSE(sent.headers.contains(absent)) << absent;
}

TEST_F(ProxyRun, AppCallsNeverCarryTheToken) {
    answerAlways(app, Answer{201, "made", {{"Content-Type", "text/plain"}}, false, {}});
    start("tok-1");
    EXPECT_EQ(call("PATCH", "/app/link/status", "Content-Type: text/plain\r\n", "hello"),
              expectedResponse("201 Status", "text/plain", "made"));
    ASSERT_EQ(app.received.size(), 1);
    const HttpPeer::Request &sent = app.received.first();
    EXPECT_EQ(sent.method, "PATCH");
    EXPECT_EQ(sent.target, "/link/status");
    EXPECT_EQ(sent.body, "hello");
    EXPECT_EQ(sent.headers.value("content-type"), "text/plain");
    EXPECT_FALSE(sent.headers.contains("authorization"));
    EXPECT_TRUE(cloud.received.isEmpty());
}

TEST_F(ProxyRun, FarSideAnswersPassThroughWithoutTheirHeaders) {
    start();
    answerAlways(cloud, Answer{500, "broken", {}, false, {}});
    EXPECT_EQ(call("GET", "/cloud/x"), expectedResponse("500 Status", "application/json", "broken"));
    EXPECT_FALSE(cloud.received.last().headers.contains("authorization"));

    answerAlways(
        cloud,
        Answer{
            302, "moved", {{"Location", "http://127.0.0.1:1/elsewhere"}, {"Set-Cookie", "a=b"}}, false, {}});
    const QByteArray redirect = call("POST", "/cloud/x", "Content-Type: application/json\r\n", "{}");
    EXPECT_EQ(redirect, expectedResponse("302 Status", "application/json", "moved"));
    EXPECT_EQ(cloud.received.size(), 2) << "the redirect is not followed";
    answerAlways(cloud, Answer{200, "{}", {{"Content-Type", "text/html\x7f<x>"}}, false, {}});
    EXPECT_EQ(call("GET", "/cloud/x"), expectedResponse("200 OK", "application/json", "{}"))
        << "a far side's Content-Type that is no plain header value is not passed on";

    const QByteArray huge(5 * 1024 * 1024, 'x');
    answerAlways(cloud, Answer{200, huge, {{"Content-Type", "application/octet-stream"}}, false, {}});
    EXPECT_EQ(responseBody(call("GET", "/cloud/big", {}, {}, 30000)), huge);
}

TEST_F(ProxyRun, UnreachablePeersGiveA502ThatNamesThem) {
    cloud.close();
    app.close();
    start("tok-2");
    EXPECT_EQ(call("GET", "/cloud/api/x"), expectedResponse("502 Bad Gateway", kJson, kCantReachCloud));
    EXPECT_EQ(call("POST", "/app/x"),
              expectedResponse("502 Bad Gateway", kJson,
                               "{\"error\":\"The Orvane app isn't open.\",\"unreachable\":true}"));
    // A logout that reached nobody signs nobody out.
    call("POST", "/cloud/api/auth/logout");
    EXPECT_EQ(storedToken(), "tok-2");
}

TEST_F(ProxyRun, AnswerCutShortIsNotPassedOffAsWhole) {
    answerAlways(cloud,
                 Answer{0,
                        {},
                        {},
                        false,
                        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n"
                        "{\"token\": \"half"});
    start("tok-3");
    EXPECT_EQ(call("GET", "/cloud/api/auth/app-link/poll"),
              expectedResponse("502 Bad Gateway", kJson, kCantReachCloud));
    EXPECT_EQ(storedToken(), "tok-3");
}

TEST_F(ProxyRun, StalledCloudTimesOut) {
    answerAlways(cloud, Answer{0, {}, {}, true, {}});
    start();
    runningLocalServer()->limits.proxyTimeoutMs = 300;
    EXPECT_EQ(call("GET", "/cloud/slow", {}, {}, 8000),
              expectedResponse("502 Bad Gateway", kJson, kCantReachCloud));
}

TEST_F(ProxyRun, LinkPollStoresTheTokenAndKeepsItFromThePage) {
    start();
    answerAlways(cloud, Answer{200,
                               R"({"token": "fresh-token", "user": {"name": "Ana"}})",
                               {{"Content-Type", "application/json"}},
                               false,
                               {}});
    const QByteArray linked = call("POST", "/cloud/api/auth/app-link/poll?code=abc");
    EXPECT_EQ(linked,
              expectedResponse("200 OK", "application/json", R"({"linked":true,"user":{"name":"Ana"}})"));
    EXPECT_EQ(storedToken(), "fresh-token");
    EXPECT_EQ(cloud.received.last().target, "/api/auth/app-link/poll?code=abc");
    call("GET", "/cloud/api/me");
    EXPECT_EQ(cloud.received.last().headers.value("authorization"), "Bearer fresh-token");

    // Pending answers (no token) are handed on untouched; other answers lose a token without signing in,
    // whatever the spelling of the poll's path.
    answerAlways(cloud, Answer{200, R"( {"status" : "pending"} )", {}, false, {}});
    EXPECT_EQ(responseBody(call("POST", "/cloud/api/auth/app-link/poll")), R"( {"status" : "pending"} )");
    answerAlways(cloud, Answer{202, R"({"token": "not-yet"})", {}, false, {}});
    EXPECT_EQ(responseBody(call("POST", "/cloud/api/auth/app-link/poll")), "{}");
    EXPECT_EQ(storedToken(), "fresh-token");
    answerAlways(cloud, Answer{200, R"({"token": "other-spelling"})", {}, false, {}});
    for (const QByteArray target : {"/cloud/api/auth/app-link/poll/", "/cloud/API/Auth/App-Link/Poll"}) {
        EXPECT_EQ(responseBody(call("POST", target)), R"({"linked":true})") << target.constData();
        EXPECT_EQ(storedToken(), "other-spelling");
    }

    // A token that is not text signs the user out, and the page still hears "linked".
    answerAlways(cloud, Answer{200, R"({"token": 42})", {}, false, {}});
    EXPECT_EQ(responseBody(call("POST", "/cloud/api/auth/app-link/poll")), R"({"linked":true})");
    EXPECT_EQ(storedToken(), "");
}

TEST_F(ProxyRun, NoOtherSpellingOfAPathSlipsPastItsChecks) {
    answerAlways(cloud, Answer{200, R"({"status":"linked","token":"raw-token"})", {}, false, {}});
    start("tok-5");
    // Dot segments in any encoding never leave the module: the far side would resolve them.
    for (const QByteArray target :
         {"/cloud/api/auth/app-link/x/%2e%2e/poll?code=C", "/cloud/%2e%2e/%2e%2e/admin/x", "/app/%2e%2e/x",
          "/cloud/api/%2E/x", "/cloud/a%5c..%5cb"})
        EXPECT_EQ(call("GET", target), expectedResponse("400 Bad Request", "text/plain", "Bad path"))
            << target.constData();
    EXPECT_TRUE(cloud.received.isEmpty());
    EXPECT_TRUE(app.received.isEmpty());

    // The link poll is known by the path the cloud receives, however the page spelled it.
    for (const QByteArray target : {"/cloud/api/auth/app-link%2Fpoll?code=C",
                                    "/cloud//api/auth/app-link/poll", "/cloud/api/auth/app-link/%70oll"}) {
        const QByteArray answer = call("GET", target);
        EXPECT_FALSE(answer.contains("raw-token")) << target.constData();
        EXPECT_EQ(responseBody(answer), R"({"linked":true,"status":"linked"})") << target.constData();
        EXPECT_EQ(cloud.received.last().target.left(23), "/api/auth/app-link/poll");
    }
    EXPECT_EQ(storedToken(), "raw-token");
    answerAlways(cloud, Answer{200, "{}", {}, false, {}});
    call("POST", "/cloud/api/auth/%6cogout");
    EXPECT_EQ(storedToken(), "");
}

TEST_F(ProxyRun, EveryStandardMethodIsAnsweredAtOnce) {
    answerAlways(cloud, Answer{204, {}, {{"X-Seen", "1"}}, false, {}});
    start();
    runningLocalServer()->limits.proxyTimeoutMs = 5000;
    for (const QByteArray method : {"HEAD", "GET", "POST", "PUT", "DELETE", "PATCH"}) {
        const QByteArray answer = call(method, "/cloud/api/x", {}, method == "GET" ? "" : "{}", 4000);
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 204 No Content")) << method.constData() << answer.constData();
        EXPECT_EQ(cloud.received.last().method, method);
    }
}

TEST_F(ProxyRun, ControlCharactersNeverTravelUpstream) {
    answerAlways(cloud, Answer{200, "{}", {}, false, {}});
    start("tok-6");
    for (const QByteArray &headers :
         {QByteArray("Content-Type: text/plain\rX-Injected: 2\r\n"), QByteArray("Content-Type: a\x01b\r\n")})
        EXPECT_EQ(call("POST", "/cloud/api/x", headers, "{}"),
                  expectedResponse("400 Bad Request", "text/plain", "Bad request"));
    EXPECT_EQ(exchange(port, "PO\rST /cloud/api/x HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                 "\r\nx-ov-bridge: " + key + "\r\n\r\n")
                  .received,
              expectedResponse("400 Bad Request", "text/plain", "Bad request"));
    EXPECT_TRUE(cloud.received.isEmpty());
}

TEST_F(ProxyRun, LinkPollStoresTheTokenEvenWhenThePageLeft) {
    cloud.answerDelayed(300, [](const HttpPeer::Request &) {
        return Answer{200, R"({"token": "late"})", {}, false, {}};
    });
    start();
    exchange(port, requestFor(port, "POST", "/cloud/api/auth/app-link/poll", "x-ov-bridge: " + key + "\r\n"),
             50);
    EXPECT_TRUE(waitUntil([] { return storedToken() == "late"; }, 5000));
}

TEST_F(ProxyRun, LogoutClearsTheTokenOnAnyAnswer) {
    answerAlways(cloud, Answer{401, "{}", {}, false, {}});
    start("tok-4");
    call("POST", "/cloud/api/auth/logout/");
    call("POST", "/app/api/auth/logout");
    EXPECT_EQ(storedToken(), "tok-4");
    EXPECT_EQ(call("POST", "/cloud/api/auth/logout?all=1"),
              expectedResponse("401 Unauthorized", "application/json", "{}"));
    EXPECT_EQ(storedToken(), "");
    call("GET", "/cloud/api/me");
    EXPECT_FALSE(cloud.received.last().headers.contains("authorization"));
}
