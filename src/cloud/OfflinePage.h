// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

// The built-in page shown when neither the cloud nor the dock cache has the index page.
QByteArray offlinePage();
