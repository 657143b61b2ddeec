// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The path of name inside the module's configuration directory (the directory itself for an empty name).
// Creates nothing.
QString moduleConfigPath(const QString &name);
