// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

// Requests, each on a new connection as the dock page makes them, sent from a client thread while this
// (main) thread serves them, as OBS's does. Returns how many were answered.
int serveRequests(quint16 port, const QByteArray &request, int count);
