// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "support/HttpPeer.h"
#include "support/RawClient.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <obs.h>

namespace {
QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

class DockPageRun : public ModuleRun {
protected:
    void SetUp() override {
        ModuleRun::SetUp();
        cloud.serveDockFolder(cloudFiles.path());
        cloudUrl = cloud.baseUrl().toUtf8();
        qputenv("ORVANE_CLOUD_URL", cloudUrl + "/");
    }

    void start() {
        port = finishLoading().port;
        key = runningLocalServer()->bridgeKey.toUtf8();
    }

    Exchange get(const QByteArray &target, int timeoutMs = 10000) {
        return exchange(port, requestFor(port, "GET", target), timeoutMs);
    }

    QByteArray configScript() const {
        return "<script>window.__OV={\"bridge\":\"" + key + "\",\"cloud\":\"" + cloudUrl + "\",\"obs\":\"" +
               obs_get_version_string() + "\",\"version\":\"1.0.0\"}</script>";
    }

    QString cachePath(const QString &name) const {
        return obshost::moduleConfigDir() + "/dock-cache/" + name;
    }

    QTemporaryDir cloudFiles;
    HttpPeer cloud;
    QByteArray cloudUrl;
    quint16 port = 0;
    QByteArray key;
};

const QByteArray kIndex = "<!doctype html><html><head><title>Dock</title></head><body>hi</body></html>";
} // namespace

TEST_F(DockPageRun, FreshIndexIsServedWithConfigAndCachedWithout) {
    writeFile(cloudFiles.path() + "/index.html", kIndex);
    start();

    const QByteArray expectedBody =
        "<!doctype html><html><head>" + configScript() + "<title>Dock</title></head><body>hi</body></html>";
    EXPECT_EQ(get("/").received, expectedResponse("200 OK", "text/html; charset=utf-8", expectedBody));
    EXPECT_EQ(get("/index.html?x=1").received,
              expectedResponse("200 OK", "text/html; charset=utf-8", expectedBody));
    EXPECT_EQ(readFile(cachePath("index.html")), kIndex);

    ASSERT_EQ(cloud.received.size(), 2);
    for (const HttpPeer::Request &request : cloud.received) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, "/web/obs-dock/index.html");
        EXPECT_EQ(request.headers.value("user-agent"),
                  "Orvane-OBS-Plugin/1.0.0 OBS/" + QByteArray(obs_get_version_string()));
        EXPECT_EQ(request.headers.value("cache-control"), "no-cache");
        EXPECT_FALSE(request.headers.contains("authorization"));
        EXPECT_FALSE(request.headers.contains("cookie"));
    }
}

TEST_F(DockPageRun, OtherFilesPassThroughUnchangedWithTheirType) {
    writeFile(cloudFiles.path() + "/assets/app.mjs", "export const a = '<head>';");
    writeFile(cloudFiles.path() + "/empty.css", "");
    start();

    EXPECT_EQ(get("/assets/app.mjs").received,
              expectedResponse("200 OK", "text/javascript; charset=utf-8", "export const a = '<head>';"));
    EXPECT_EQ(readFile(cachePath("assets_app.mjs")), "export const a = '<head>';");
    EXPECT_EQ(get("/empty.css").received, expectedResponse("200 OK", "text/css; charset=utf-8", ""));
    EXPECT_EQ(readFile(cachePath("empty.css")), "");
    // HEAD is answered like GET, body included.
    EXPECT_EQ(exchange(port, requestFor(port, "HEAD", "/empty.css")).received,
              expectedResponse("200 OK", "text/css; charset=utf-8", ""));
}

TEST_F(DockPageRun, CloudFailureFallsBackToTheCacheThenTheOfflinePage) {
    start();
    const QByteArray notFound = expectedResponse("404 Not Found", "text/plain", "Not found");
    // Nothing anywhere: the index becomes the offline page, other files 404.
    const QByteArray offline = get("/").received;
    EXPECT_TRUE(offline.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"));
    EXPECT_TRUE(
        responseBody(offline).startsWith("<!doctype html>\n<html lang=\"en\">\n<head>" + configScript()));
    EXPECT_TRUE(offline.contains("Can't reach Orvane"));
    EXPECT_EQ(get("/app.html").received, notFound);
    EXPECT_EQ(get("/index.htm").received, notFound);

    // Cached copies stand in for 404 and 500 answers.
    writeFile(cachePath("index.html"), "");
    writeFile(cachePath("a_b.js"), "cached();");
    EXPECT_EQ(responseBody(get("/").received), configScript());
    EXPECT_EQ(get("/a/b.js").received,
              expectedResponse("200 OK", "text/javascript; charset=utf-8", "cached();"));
    cloud.setRule([](const HttpPeer::Request &) { return HttpPeer::Answer{500, "boom", {}, false, {}}; });
    EXPECT_EQ(responseBody(get("/a_b.js").received), "cached();");
    // Other 2xx answers are not fresh copies.
    cloud.setRule([](const HttpPeer::Request &) { return HttpPeer::Answer{203, "other", {}, false, {}}; });
    EXPECT_EQ(responseBody(get("/a_b.js").received), "cached();");
    EXPECT_EQ(readFile(cachePath("a_b.js")), "cached();");
}

TEST_F(DockPageRun, UnreachableCloudServesTheOfflinePage) {
    cloud.close();
    start();
    const QByteArray body = responseBody(get("/").received);
    EXPECT_TRUE(body.contains(configScript()));
    EXPECT_TRUE(body.contains("Try again"));
}

TEST_F(DockPageRun, CachedCopiesAnswerASlowCloudAndItsLateAnswerRefreshesThem) {
    writeFile(cachePath("index.html"), "<head>old");
    writeFile(cachePath("app.js"), "old();");
    start();
    runningLocalServer()->limits.cachedPageDeadlineMs = 200;

    // A cloud that answers after the deadline: the copy now, the fresh file in the cache for the next load.
    cloud.answerDelayed(600, [](const HttpPeer::Request &) {
        return HttpPeer::Answer{200, "new();", {}, false, {}};
    });
    EXPECT_EQ(responseBody(get("/app.js").received), "old();");
    EXPECT_TRUE(waitUntil([&] { return readFile(cachePath("app.js")) == "new();"; }, 5000));

    // A silent cloud: the index comes at the deadline, not at the transfer time-outs (6 s and 15 s), and the
    // rest of its page load without asking again.
    cloud.setRule([](const HttpPeer::Request &) { return HttpPeer::Answer{200, {}, {}, true, {}}; });
    EXPECT_EQ(responseBody(get("/").received), "<head>" + configScript() + "old");
    const qsizetype asked = cloud.received.size();
    EXPECT_EQ(responseBody(get("/app.js").received), "new();");
    EXPECT_EQ(cloud.received.size(), asked);

    // The index always asks: within the deadline the cloud's answer is the one served.
    runningLocalServer()->limits.cachedPageDeadlineMs = 5000;
    cloud.answerDelayed(0, [](const HttpPeer::Request &) {
        return HttpPeer::Answer{200, "<head>new", {}, false, {}};
    });
    EXPECT_EQ(responseBody(get("/").received), "<head>" + configScript() + "new");
}

TEST_F(DockPageRun, PathsOutsideThePatternAreRefusedWithoutFetching) {
    start();
    const QByteArray notFound = expectedResponse("404 Not Found", "text/plain", "Not found");
    for (const QByteArray path : {"/a%20b", "/a:b", "/~x", "/caf\xC3\xA9.js", ""})
        EXPECT_EQ(get(path).received, notFound) << path.constData();
    EXPECT_TRUE(cloud.received.isEmpty());

    get("/.well-known/x");
    ASSERT_EQ(cloud.received.size(), 1);
    EXPECT_EQ(cloud.received.first().target, "/web/obs-dock/.well-known/x");
}

TEST_F(DockPageRun, CookiesFromTheCloudAreNeverSentBack) {
    cloud.setRule([](const HttpPeer::Request &) {
        return HttpPeer::Answer{200, "x", {{"Set-Cookie", "session=secret; Path=/"}}, false, {}};
    });
    start();
    get("/one.js");
    get("/two.js");
    ASSERT_EQ(cloud.received.size(), 2);
    EXPECT_FALSE(cloud.received.last().headers.contains("cookie"));
}

TEST_F(DockPageRun, PageLeavingDuringTheFetchStillFillsTheCache) {
    writeFile(cloudFiles.path() + "/index.html", kIndex);
    cloud.answerDelayed(500, [](const HttpPeer::Request &) {
        return HttpPeer::Answer{200, "late", {}, false, {}};
    });
    start();

    QTcpSocket leaving;
    leaving.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(leaving.waitForConnected(3000));
    leaving.write(requestFor(port, "GET", "/"));
    ASSERT_TRUE(waitUntil([&] { return !cloud.received.isEmpty(); }, 5000));
    leaving.abort();

    EXPECT_TRUE(waitUntil([&] { return readFile(cachePath("index.html")) == "late"; }, 5000));
    // The server keeps answering afterwards.
    EXPECT_EQ(responseBody(get("/").received), configScript() + "late");
}

TEST_F(DockPageRun, StoredTokenIsLoadedAtStartFromTheFileAlone) {
    writeFile(obshost::moduleConfigDir() + "/account.json", "{\"token\": \"tok-123\"}");
    EXPECT_EQ(finishLoading().token, "tok-123");
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);

    writeFile(obshost::moduleConfigDir() + "/account.json", "{\"token\": ");
    // A backup (an older version kept one) never signs the user back in.
    writeFile(obshost::moduleConfigDir() + "/account.json.bak", "{\"token\": \"from-backup\"}");
    EXPECT_EQ(finishLoading().token, "");
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);

    writeFile(obshost::moduleConfigDir() + "/account.json", "{\"other\": 1}");
    EXPECT_EQ(finishLoading().token, "");
}
