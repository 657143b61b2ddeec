// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// A text of the module's own in OBS's language, from data/locale (en-US where OBS's language has none).
QString moduleText(const char *key);
