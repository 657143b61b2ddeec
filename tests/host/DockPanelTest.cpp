// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "support/RawClient.h"
#include "support/UrlCatcher.h"

#include <QDockWidget>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QPushButton>

namespace {
class DockRun : public ModuleRun {
protected:
    void SetUp() override {
        frontendMainWindow();
        ModuleRun::SetUp();
    }

    QDockWidget *dock() const { return frontendMainWindow()->findChild<QDockWidget *>("orvane"); }
    QWidget *placeholder() const { return frontendMainWindow()->findChild<QWidget *>("orvaneDock"); }
    QString labelText() const {
        const QLabel *label = placeholder() ? placeholder()->findChild<QLabel *>() : nullptr;
        return label && !label->isHidden() ? label->text() : QString();
    }
    QJsonObject dockFile() const {
        QFile file(obshost::moduleConfigDir() + "/dock.json");
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }
};
} // namespace

TEST_F(DockRun, FirstRunPlacesTheDockOnTheRight) {
    ASSERT_NE(dock(), nullptr);
    EXPECT_EQ(dock()->windowTitle(), "Orvane");
    ASSERT_NE(placeholder(), nullptr);
    EXPECT_EQ(placeholder()->minimumSize(), QSize(300, 420));
    EXPECT_EQ(labelText(), "Loading Orvane...");
    EXPECT_TRUE(dock()->isFloating());

    finishLoading();
    runEventLoopFor(100);
    EXPECT_EQ(frontendMainWindow()->dockWidgetArea(dock()), Qt::RightDockWidgetArea);
    EXPECT_FALSE(dock()->isFloating());
    EXPECT_TRUE(dock()->isVisible());
    EXPECT_EQ(dock()->width(), 360);
    EXPECT_EQ(dockFile(), QJsonObject({{"shown", true}}));
    // Debian's OBS has no browser: the dock says so, and the server runs all the same.
    EXPECT_EQ(labelText(), "The Orvane dock needs OBS's browser, which this OBS doesn't have.");
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane dock: OBS already has a dock called orvane"), 0);
}

TEST_F(DockRun, LaterRunsLeaveTheDockWhereTheUserPutIt) {
    QDir().mkpath(obshost::moduleConfigDir());
    QFile file(obshost::moduleConfigDir() + "/dock.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"shown": true})");
    file.close();

    finishLoading();
    runEventLoopFor(100);
    EXPECT_EQ(frontendMainWindow()->dockWidgetArea(dock()), Qt::NoDockWidgetArea);
    EXPECT_TRUE(dock()->isFloating());
}

TEST_F(DockRun, AnExistingOrvaneDockIsLeftAlone) {
    // Loading a second time finds the first dock under the same id.
    obs_module_load();
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane dock: OBS already has a dock called orvane"), 1);
    EXPECT_EQ(frontendMainWindow()->findChildren<QDockWidget *>("orvane").size(), 1);
    finishLoading();
    EXPECT_EQ(dockFile(), QJsonObject({{"shown", true}}));
    obs_module_unload();
}

TEST_F(DockRun, OpensThePageInOBSBrowser) {
    obshost::loadTestBrowserModule();
    const quint16 port = finishLoading().port;
    QWidget *browser = placeholder()->findChild<QWidget *>("testBrowser");
    ASSERT_NE(browser, nullptr);
    EXPECT_EQ(browser->property("url").toString(), QStringLiteral("http://127.0.0.1:%1/").arg(port));
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane dock: showing the page with OBS's browser"), 1);
    runEventLoopFor(50);
    EXPECT_EQ(placeholder()->findChild<QLabel *>(), nullptr) << "the loading label is gone";
    EXPECT_EQ(placeholder()->layout()->indexOf(browser), 0);

    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_TRUE(browser->property("closed").toBool());
}

TEST_F(DockRun, SaysSoWhenTheBrowserGivesNoPage) {
    qputenv("ORVANE_TEST_BROWSER_GIVES_NO_WIDGET", "1");
    obshost::loadTestBrowserModule();
    finishLoading();
    EXPECT_EQ(labelText(), "The Orvane dock couldn't open its page.");
    qunsetenv("ORVANE_TEST_BROWSER_GIVES_NO_WIDGET");
}

namespace {
const QString kNoBrowserLine =
    QStringLiteral("[orvane] Orvane dock: no browser in this OBS; the page opens in the desktop browser");
const QString kNoBrowserText =
    QStringLiteral("The Orvane dock needs OBS's browser, which this OBS doesn't have.");

void placeBesideModule(const QString &name, const QByteArray &bytes) {
    QFile file(obshost::moduleBinaryDir() + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST_F(DockRun, WithoutAnyBrowserThePageOpensInTheDesktopBrowser) {
    const quint16 port = finishLoading().port;
    EXPECT_EQ(labelText(), kNoBrowserText);
    EXPECT_EQ(obshost::countLogLines(kNoBrowserLine), 1);
    auto *open = placeholder()->findChild<QPushButton *>("openInBrowser");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), "Open in your browser");
    UrlCatcher catcher;
    open->click();
    EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port))});
    // The page itself is served there like in the dock: same origin, Host accepted.
    EXPECT_TRUE(exchange(port, requestFor(port, "GET", "/")).received.startsWith("HTTP/1.1 200 OK"));
}

TEST_F(DockRun, ACompanionThatIsNoLibraryMeansNoBrowser) {
    placeBesideModule("orvane-webview.so", "not a library");
    finishLoading();
    EXPECT_EQ(obshost::countLogLines(kNoBrowserLine), 1);
    EXPECT_NE(placeholder()->findChild<QPushButton *>("openInBrowser"), nullptr);
}

TEST_F(DockRun, ACompanionWithoutItsEntryPointMeansNoBrowser) {
    placeBesideModule("orvane-webview.so", fileBytes(obshost::moduleBinaryDir() + "/orvane.so"));
    finishLoading();
    EXPECT_EQ(obshost::countLogLines(kNoBrowserLine), 1);
    EXPECT_NE(placeholder()->findChild<QPushButton *>("openInBrowser"), nullptr);
}

TEST_F(DockRun, OpensThePageInTheCompanionWhereOBSHasNoBrowser) {
    placeBesideModule("orvane-webview.so", fileBytes(ORVANE_TEST_BROWSER_MODULE));
    const quint16 port = finishLoading().port;
    EXPECT_EQ(obshost::countLogLines("[orvane] Orvane dock: showing the page in its own web view"), 1);
    QWidget *view = placeholder()->findChild<QWidget *>("testBrowser");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->property("url").toString(), QStringLiteral("http://127.0.0.1:%1/").arg(port));
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    EXPECT_TRUE(view->property("closed").toBool());
}

TEST_F(DockRun, UsesOBSBrowserOnlyAtAPanelVersionItKnows) {
    qputenv("ORVANE_TEST_BROWSER_PANEL_VERSION", "4");
    obshost::loadTestBrowserModule();
    finishLoading();
    EXPECT_EQ(placeholder()->findChild<QWidget *>("testBrowser"), nullptr);
    EXPECT_EQ(obshost::countLogLines(kNoBrowserLine), 1);
    qunsetenv("ORVANE_TEST_BROWSER_PANEL_VERSION");
}
