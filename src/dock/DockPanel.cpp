// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock/DockPanel.h"

#include "core/Log.h"
#include "core/ModuleConfigPath.h"
#include "core/ModuleText.h"
#include "core/ObsCompat.h"
#include "core/SettingsFile.h"
#include "dock/DockBrowser.h"
#include "dock/QCefInterface.h"

#include <QDesktopServices>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QVariant>
#include <memory>
#include <obs.hpp>
#include <util/platform.h>

namespace {
QPointer<QWidget> dockPlaceholder;
QPointer<QLabel> dockLabel;
// Made once per run, released at exit; OBS may destroy the dock, and the widget with it, at any time.
std::unique_ptr<QCef> browserFactory;
QPointer<QCefWidget> browserWidget;

constexpr int kFirstRunDockWidth = 360;

void showInLabel(const QString &text) {
    if (dockLabel)
        dockLabel->setText(text);
}

// Without any browser: the designed text, and a way to the page in the desktop browser.
void offerDesktopBrowser(const QString &url) {
    showInLabel(moduleText("Dock.NeedsBrowser"));
    if (!dockPlaceholder || dockPlaceholder->findChild<QPushButton *>(QStringLiteral("openInBrowser")))
        return;
    auto *open = new QPushButton(moduleText("Dock.OpenInBrowser"), dockPlaceholder);
    open->setObjectName(QStringLiteral("openInBrowser"));
    QObject::connect(open, &QPushButton::clicked, open, [url] { QDesktopServices::openUrl(QUrl(url)); });
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(open);
    row->addStretch();
    static_cast<QVBoxLayout *>(dockPlaceholder->layout())->addLayout(row);
    static_cast<QVBoxLayout *>(dockPlaceholder->layout())->addStretch();
}
} // namespace

void createDockPlaceholder() {
    dockPlaceholder = new QWidget;
    dockPlaceholder->setObjectName(QStringLiteral("orvaneDock"));
    dockPlaceholder->setMinimumSize(300, 420);
    dockPlaceholder->setStyleSheet(
        QStringLiteral("#orvaneDock { background: #0e0e13; } QLabel { color: #8a89a0; }"));
    // The web view companion links no libobs: it finds its menu's text here.
    dockPlaceholder->setProperty("orvaneReloadText", moduleText("Dock.Reload"));
    auto *layout = new QVBoxLayout(dockPlaceholder);
    layout->setContentsMargins(0, 0, 0, 0);
    dockLabel = new QLabel(moduleText("Dock.Loading"));
    dockLabel->setAlignment(Qt::AlignCenter);
    dockLabel->setWordWrap(true);
    layout->addWidget(dockLabel);

    if (!addFrontendDock("orvane", "Orvane", dockPlaceholder))
        logMessage(LOG_WARNING, "Orvane dock: OBS already has a dock called orvane");
}

QString dockUrl(uint16_t port) {
    return QStringLiteral("http://127.0.0.1:%1/").arg(port);
}

void attachDockBrowser(const QString &url) {
    if (!dockPlaceholder || browserWidget)
        return;
    const DockBrowser browser = findDockBrowser();
    browserFactory.reset(browser.factory);
    if (!browserFactory) {
        logMessage(LOG_INFO, "Orvane dock: no browser in this OBS; the page opens in the desktop browser");
        offerDesktopBrowser(url);
        return;
    }
    logMessage(LOG_INFO, browser.kind == DockBrowser::ObsBrowser
                             ? "Orvane dock: showing the page with OBS's browser"
                             : "Orvane dock: showing the page in its own web view");
    browserFactory->init_browser();
    browserFactory->wait_for_browser_init();
    browserWidget = browserFactory->create_widget(dockPlaceholder, url.toUtf8().toStdString(), nullptr);
    if (!browserWidget) {
        showInLabel(moduleText("Dock.PageFailed"));
        return;
    }
    if (dockLabel) {
        dockLabel->hide();
        dockLabel->deleteLater();
    }
    if (dockPlaceholder)
        dockPlaceholder->layout()->addWidget(browserWidget);
}

void placeDockOnFirstRun() {
    const QString path = moduleConfigPath(QStringLiteral("dock.json"));
    OBSDataAutoRelease dockState = readSettingsFile(path, "bak");
    if (!dockState)
        dockState = obs_data_create();
    if (obs_data_get_bool(dockState, "shown") || !dockPlaceholder)
        return;

    if (auto *dock = qobject_cast<QDockWidget *>(dockPlaceholder->parentWidget())) {
        if (auto *mainWindow = static_cast<QMainWindow *>(obs_frontend_get_main_window())) {
            // Docked once it is in the area: OBS's first-run layout floats extra docks, and a floating
            // dock added to an area stays floating.
            mainWindow->addDockWidget(Qt::RightDockWidgetArea, dock);
            dock->setFloating(false);
            mainWindow->resizeDocks({dock}, {kFirstRunDockWidth}, Qt::Horizontal);
        }
        dock->setVisible(true);
        dock->raise();
    }

    // Written even without a dock, so the placement is tried on one run only.
    obs_data_set_bool(dockState, "shown", true);
    writeSettingsFile(path, dockState);
}

void closeDockBrowser() {
    if (browserWidget)
        browserWidget->closeBrowser();
    browserWidget = nullptr;
    browserFactory.reset();
}
