// SPDX-License-Identifier: GPL-2.0-or-later
// orvane-webview: the dock page in a Qt WebEngine view, for OBS builds without obs-browser. The module
// opens this library at run time and uses it through the same panel interface as obs-browser's.
#include "dock/QCefInterface.h"
#include "webview/WebViewSetup.h"

#include <QMenu>
#include <QPointer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {
// Pop-up windows are refused: the page opens other pages through the bridge's "open" action.
class DockPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
};

class WebViewWidget : public QCefWidget {
public:
    WebViewWidget(QWidget *parent, const std::string &url) : QCefWidget(parent) {
        // No storage name: an off-the-record profile keeps nothing of the page on disk.
        profile = new QWebEngineProfile(this);
        view = new QWebEngineView(this);
        view->setPage(new DockPage(profile, view));
        // One entry, as a dock page needs: reload it.
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(view, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
            // Owned by no widget and gone when closed: the dock may go away while the menu is open.
            auto *menu = new QMenu;
            menu->setAttribute(Qt::WA_DeleteOnClose);
            const QString text =
                parentWidget() ? parentWidget()->property("orvaneReloadText").toString() : QString();
            QAction *reload = menu->addAction(text.isEmpty() ? QStringLiteral("Reload") : text);
            QObject::connect(reload, &QAction::triggered, view.data(), &QWebEngineView::reload);
            menu->popup(view->mapToGlobal(at));
        });
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view);
        setURL(url);
    }

    // A page must go before its profile (Qt warns, and expects trouble, otherwise); children would go
    // in the order they were made, the profile first.
    ~WebViewWidget() override {
        delete view;
        delete profile;
    }

    void setURL(const std::string &url) override {
        if (view)
            view->setUrl(QUrl(QString::fromStdString(url)));
    }
    void setStartupScript(const std::string &) override {}
    void allowAllPopups(bool) override {}
    // The view goes with the dock when OBS destroys it; deleting it at the exit event, while its page may
    // still be starting, left OBS hanging in its shutdown.
    void closeBrowser() override {
        if (view)
            view->stop();
    }

private:
    QPointer<QWebEngineProfile> profile;
    QPointer<QWebEngineView> view;
};

class WebViewFactory : public QCef {
public:
    bool init_browser() override {
        prepareWebEngine();
        return true;
    }
    bool initialized() override { return true; }
    bool wait_for_browser_init() override { return true; }
    QCefWidget *create_widget(QWidget *parent, const std::string &url, QCefCookieManager *) override {
        return new WebViewWidget(parent, url);
    }
};
} // namespace

extern "C" __attribute__((visibility("default"))) QCef *orvane_webview_create_qcef() {
    return new WebViewFactory;
}
