// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/ClientUserAgent.h"
#include "cloud/DockPage.h"
#include "cloud/MimeType.h"
#include "cloud/OfflinePage.h"
#include "cloud/PageConfig.h"
#include "core/CloudDefaults.h"

#include <QUrl>
#include <gtest/gtest.h>
#include <obs.h>

TEST(DockPageFormat, ContentTypeFollowsTheExactEnding) {
    EXPECT_EQ(mimeTypeForPath("/index.html"), "text/html; charset=utf-8");
    EXPECT_EQ(mimeTypeForPath("/a/app.mjs"), "text/javascript; charset=utf-8");
    EXPECT_EQ(mimeTypeForPath("/a.js"), "text/javascript; charset=utf-8");
    EXPECT_EQ(mimeTypeForPath("/a.json"), "application/json");
    EXPECT_EQ(mimeTypeForPath("/f.woff2"), "font/woff2");
    EXPECT_EQ(mimeTypeForPath("/INDEX.HTML"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("/a.js.map"), "application/octet-stream");
}

TEST(DockPageFormat, ConfigScriptGoesRightAfterTheFirstPlainHeadTag) {
    const QByteArray script = "<script>S</script>";
    EXPECT_EQ(injectPageConfig("<!doctype html><html><head><title>t</title></head><head>", script),
              "<!doctype html><html><head><script>S</script><title>t</title></head><head>");
    // A head tag with attributes or in upper case is not the exact tag: the script goes first.
    EXPECT_EQ(injectPageConfig("<!doctype html><HEAD><head lang=en>", script),
              "<script>S</script><!doctype html><HEAD><head lang=en>");
    EXPECT_EQ(injectPageConfig("", script), script);
}

TEST(DockPageFormat, ConfigScriptCarriesTheRunValuesAsCompactSortedJson) {
    const QByteArray expected =
        "<script>window.__OV={\"bridge\":\"k\",\"cloud\":\"https://c.test\",\"obs\":\"" +
        QByteArray(obs_get_version_string()) + "\",\"version\":\"1.0.0\"}</script>";
    EXPECT_EQ(pageConfigScript("k", "https://c.test"), expected);
    EXPECT_EQ(clientUserAgent(), "Orvane-OBS-Plugin/1.0.0 OBS/" + QByteArray(obs_get_version_string()));
}

TEST(DockPageFormat, CacheFileNamesFlattenThePath) {
    EXPECT_EQ(dockCacheFileName("/index.html"), "index.html");
    EXPECT_EQ(dockCacheFileName("/assets/app.js"), "assets_app.js");
    EXPECT_EQ(dockCacheFileName("/a/b.js"), dockCacheFileName("/a_b.js"));
}

TEST(DockPageFormat, OfflinePageIsSelfContained) {
    const QByteArray page = offlinePage();
    EXPECT_TRUE(page.startsWith("<!doctype html>"));
    EXPECT_TRUE(page.contains("<meta charset=\"utf-8\">"));
    EXPECT_TRUE(page.contains("<head>"));
    EXPECT_TRUE(page.contains("Can't reach Orvane"));
    const QByteArray cloudHost = QUrl(kDefaultCloudUrl).host().toUtf8();
    EXPECT_TRUE(page.contains("The Orvane dock loads from " + cloudHost + " the first time."));
    EXPECT_TRUE(page.contains("location.reload()"));
    EXPECT_FALSE(page.contains("src="));
    EXPECT_FALSE(page.contains("href="));
}
