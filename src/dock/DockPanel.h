// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <cstdint>

// Builds the dock's placeholder widget ("Loading Orvane...") and registers the "Orvane" dock with OBS.
void createDockPlaceholder();

// The dock page's address on the local server.
QString dockUrl(uint16_t port);

// Shows the page at url in the dock through OBS's browser, or says why it can't.
void attachDockBrowser(const QString &url);

// Puts the dock on the right of OBS's window the first time the module runs (remembered in dock.json).
void placeDockOnFirstRun();

// Closes the browser page and forgets the browser widget.
void closeDockBrowser();
