// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// Points OBS's stream at a custom RTMP server and key, keeping a copy of a service that pointed elsewhere
// in previous-service.json. False with error set when refused.
bool switchToCustomService(const QString &server, const QString &key, QString &error);
