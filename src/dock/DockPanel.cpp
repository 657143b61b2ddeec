#include "dock/DockPanel.h"

// The dock widget itself arrives with the browser integration; until then OBS runs without it.

void createDockPlaceholder() {}

QString dockUrl(uint16_t port) {
    return QStringLiteral("http://127.0.0.1:%1/").arg(port);
}

void attachDockBrowser(const QString &) {}

void placeDockOnFirstRun() {}

void closeDockBrowser() {}
