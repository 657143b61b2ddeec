// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock/DockBrowser.h"

#include "core/ModuleHandle.h"

#include <QFileInfo>
#include <QString>
#include <obs-module.h>
#include <util/platform.h>
#if !defined(_WIN32) && !defined(__APPLE__)
#include <obs-nix-platform.h>
#endif

namespace {
// obs-browser's panel interface versions whose layout this module's declarations follow.
constexpr int kFirstKnownPanelVersion = 2;
constexpr int kLastKnownPanelVersion = 3;

#if defined(_WIN32)
constexpr const char *kCompanionSuffix = ".dll";
#else
constexpr const char *kCompanionSuffix = ".so";
#endif

bool underWayland() {
#if !defined(_WIN32) && !defined(__APPLE__)
    return obs_get_nix_platform() == OBS_NIX_PLATFORM_WAYLAND;
#else
    return false;
#endif
}

QCef *obsBrowserFactory() {
    // obs-browser makes no panels under Wayland itself.
    if (underWayland())
        return nullptr;
    obs_module_t *browserModule = obs_get_module("obs-browser");
    void *library = browserModule ? obs_get_module_lib(browserModule) : nullptr;
    if (!library)
        return nullptr;
    auto panelVersion = reinterpret_cast<int (*)()>(os_dlsym(library, "obs_browser_qcef_version_export"));
    const int version = panelVersion ? panelVersion() : 0;
    if (version < kFirstKnownPanelVersion || version > kLastKnownPanelVersion)
        return nullptr;
    auto create = reinterpret_cast<QCef *(*)()>(os_dlsym(library, "obs_browser_create_qcef"));
    return create ? create() : nullptr;
}

// Beside the module (a per-user plug-in), or in a folder of its own beside it (a system plug-in folder,
// where OBS would load any library lying there as a module).
QCef *companionFactory() {
    const char *modulePath = orvaneModule() ? obs_get_module_binary_path(orvaneModule()) : nullptr;
    if (!modulePath || !*modulePath)
        return nullptr;
    const QString moduleDir = QFileInfo(QString::fromUtf8(modulePath)).absolutePath();
    const QString name = QStringLiteral("orvane-webview") + QString::fromUtf8(kCompanionSuffix);
    for (const QString &companion : {QString(moduleDir + QLatin1Char('/') + name),
                                     QString(moduleDir + QStringLiteral("/orvane/") + name)}) {
        if (!QFileInfo(companion).isFile())
            continue;
        // Opened with local symbols and kept for the rest of the run: its widgets live until OBS exits.
        void *library = os_dlopen(companion.toUtf8().constData());
        auto create = library ? reinterpret_cast<QCef *(*)()>(os_dlsym(library, "orvane_webview_create_qcef"))
                              : nullptr;
        return create ? create() : nullptr;
    }
    return nullptr;
}
} // namespace

DockBrowser findDockBrowser() {
    DockBrowser found;
    if ((found.factory = obsBrowserFactory()))
        found.kind = DockBrowser::ObsBrowser;
    else if ((found.factory = companionFactory()))
        found.kind = DockBrowser::WebView;
    return found;
}
