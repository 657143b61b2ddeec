#pragma once

#include <QString>
#include <cstdint>

// Builds the dock's placeholder widget and registers the "Orvane" dock with OBS.
void createDockPlaceholder();

// The dock page's address on the local server.
QString dockUrl(uint16_t port);

// Shows the page at url in the dock through OBS's browser, when OBS has one.
void attachDockBrowser(const QString &url);

// Puts the dock on the right the first time the module runs.
void placeDockOnFirstRun();

// Closes the browser page and forgets the browser widget.
void closeDockBrowser();
