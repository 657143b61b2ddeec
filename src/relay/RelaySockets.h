// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/SocketTable.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <vector>

// The identities (inode numbers) of this process's open sockets, sorted; empty where the system does not
// tell them.
std::vector<quint64> processSocketIds();

// Whether a row of the kernel's table is a connection attempt to the relay's server: it goes to one of
// addresses at port and is still connecting (SYN sent, or established with nothing ever received, as
// with a server that accepts and never answers). receivedNothing says the latter of an established one.
bool isAttemptToRelayServer(const TcpSocketRow &row, const QList<QHostAddress> &addresses, quint16 port,
                            bool receivedNothing);

// Shuts down the relay's own connection attempt: a socket of this process not among before that is such
// an attempt, so the thread blocked on it wakes at once. No other socket is touched. Returns how many.
int cutRelayConnectAttempt(const std::vector<quint64> &before, const QList<QHostAddress> &addresses,
                           quint16 port);

// The TCP port of an RTMP server address: the one it names, else 1935 (443 for rtmps).
quint16 relayServerPort(const QString &server);
