// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

struct LocalServer;

// Reads the signed-in account's token from account.json into the server; nothing found leaves it as is.
void loadAccountToken(LocalServer &server);
// Replaces the token in memory and in account.json; the empty text signs out, removing the file. The token
// in memory is replaced in any case; false when the file could not be written or removed.
bool setAccountToken(LocalServer &server, const QString &newToken);
