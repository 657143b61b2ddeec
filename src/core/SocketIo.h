// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>

// Reads and writes on a connected TCP socket's descriptor that never wait, for a connection whose reads the
// program schedules itself rather than on each arrival (Qt's sockets read whatever arrives as it arrives).

// Reads what is there now, up to most bytes: the bytes read; 0: nothing yet; -1: the connection ended or
// failed.
qint64 readWaitingBytes(qintptr fd, char *into, qint64 most);
// Writes what the connection takes now: the bytes written (possibly 0); -1: it failed.
qint64 writeWhatFits(qintptr fd, const char *bytes, qint64 size);
// Closes the descriptor (resetTcpOnClose first where the peer should see a reset).
void closeSocket(qintptr fd);
