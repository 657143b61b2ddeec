// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in for OBS's browser plug-in, named "obs-browser" like the real one, and for the module's web
// view companion: it exports the factories the module looks up and makes plain widgets that remember the
// page they were asked to show.
#include "dock/QCefInterface.h"

#include <QVariant>
#include <obs-module.h>

namespace {
class TestBrowserWidget : public QCefWidget {
public:
    TestBrowserWidget(QWidget *parent, const std::string &url) : QCefWidget(parent) {
        setObjectName(QStringLiteral("testBrowser"));
        setProperty("url", QString::fromStdString(url));
    }
    void setURL(const std::string &url) override { setProperty("url", QString::fromStdString(url)); }
    void setStartupScript(const std::string &) override {}
    void allowAllPopups(bool) override {}
    void closeBrowser() override { setProperty("closed", true); }
};

class TestCef : public QCef {
public:
    bool init_browser(void) override { return true; }
    bool initialized(void) override { return true; }
    bool wait_for_browser_init(void) override { return true; }
    QCefWidget *create_widget(QWidget *parent, const std::string &url, QCefCookieManager *) override {
        if (qEnvironmentVariableIsSet("ORVANE_TEST_BROWSER_GIVES_NO_WIDGET"))
            return nullptr;
        return new TestBrowserWidget(parent, url);
    }
};
} // namespace

extern "C" EXPORT QCef *obs_browser_create_qcef(void) {
    return new TestCef;
}

// The panel interface version, as obs-browser reports it (the test may give another).
extern "C" EXPORT int obs_browser_qcef_version_export(void) {
    return qEnvironmentVariableIsSet("ORVANE_TEST_BROWSER_PANEL_VERSION")
               ? qEnvironmentVariableIntValue("ORVANE_TEST_BROWSER_PANEL_VERSION")
               : 3;
}

// Copied beside the module as "orvane-webview", the same library stands in for the web view companion.
extern "C" EXPORT QCef *orvane_webview_create_qcef(void) {
    return new TestCef;
}

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *) {}

MODULE_EXPORT uint32_t obs_module_ver(void) {
    return LIBOBS_API_VER;
}

MODULE_EXPORT bool obs_module_load(void) {
    return true;
}
