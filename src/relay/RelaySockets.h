#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

// The identities (inode numbers) of this process's open sockets, sorted; empty where the system does not
// tell them.
std::vector<quint64> processSocketIds();

// Shuts down this process's connected TCP sockets that were not among before and whose far end is
// remotePort: a thread blocked on such a connection wakes at once. Returns how many it shut down.
int cutSocketsOpenedSince(const std::vector<quint64> &before, quint16 remotePort);

// The TCP port of an RTMP server address: the one it names, else 1935 (443 for rtmps).
quint16 relayServerPort(const QString &server);
