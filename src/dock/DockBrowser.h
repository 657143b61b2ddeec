// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

class QCef;

// What shows the dock page: OBS's browser (obs-browser), the module's own web view companion
// (orvane-webview beside the module), or nothing, when the page opens in the desktop browser instead.
struct DockBrowser {
    enum Kind { ObsBrowser, WebView, None };
    Kind kind = None;
    QCef *factory = nullptr; // owned by whoever asked; null for None
};

// Looks for obs-browser first (not under Wayland, and only at a panel interface version this module
// knows), then for the companion. A companion that is missing, fails to open or lacks its entry point
// gives None.
DockBrowser findDockBrowser();
