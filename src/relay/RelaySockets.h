// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/SocketTable.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>
#include <functional>
#include <optional>
#include <vector>

// The identities (inode numbers) of this process's open sockets, sorted; empty where the system does not
// tell them.
std::vector<quint64> processSocketIds();

// What tells a socket of the relay's in the kernel's table.
struct SocketQuery {
    std::vector<quint64> own;      // this process's sockets now
    std::vector<quint64> before;   // ... and before the relay's attempt began: not the relay's
    quint16 port = 0;              // the server's port
    QList<QHostAddress> addresses; // where the server's name leads; empty: any
    bool connecting = false;       // still connecting (SYN sent, or connected) rather than connected
    bool unanswered = false;       // SYN sent only: the server has not answered yet
};

// Every row of the kernel's table that the query fits.
std::vector<quint64> newSockets(const std::vector<TcpSocketRow> &rows, const SocketQuery &query);
// The one row that the query fits; 0 when there is none, or more than one (another connection to that server
// was made meanwhile): a socket is never guessed.
quint64 soleNewSocket(const std::vector<TcpSocketRow> &rows, const SocketQuery &query);
// Read from the system at this moment: called the moment libobs reports the relay connected. Another output
// connecting to the same port meanwhile (OBS's platform and the relay's on 1935 or 443) is told apart by
// addresses, where the server's name leads; where libobs's own lookup led elsewhere, by the port alone.
quint64 newConnectionTo(const std::vector<quint64> &before, const QList<QHostAddress> &addresses,
                        quint16 port);
// Which of the relay's attempts still connecting (rows the query fits, connected or not) a stop may cut: the
// one there is, never a guess between several; at OBS's exit each of them the server never answered, as
// nothing of OBS's starts a stream any more and no connection is cut.
std::vector<quint64> attemptsToCut(const std::vector<TcpSocketRow> &rows, SocketQuery query, bool atExit);
// The same, read from the system: attempts to the server (one of addresses, at port) opened after before
// and, when atStop is given, open then (this process's sockets when the relay was stopped); none without
// addresses.
std::vector<quint64> attemptsToCut(const std::vector<quint64> &before, const std::vector<quint64> *atStop,
                                   const QList<QHostAddress> &addresses, quint16 port, bool atExit);

// The system call a thread is blocked in, as /proc/PID/task/TID/syscall shows it: its number, first three
// arguments and the thread's stack pointer.
struct BlockedCall {
    long number = -1;
    std::array<quint64, 3> args{};
    quint64 stackPointer = 0;
};
std::optional<BlockedCall> parseBlockedCall(const QByteArray &line);

// The descriptor of the socket a thread is blocked on, following a thread that waits to join another
// (glibc's join waits on a word at the top of the joined thread's stack that holds the thread's id) down the
// chain; -1 when it ends elsewhere.
int socketWaitedOnBy(int tid, const std::function<std::optional<BlockedCall>(int)> &callOf);
// The same for a thread of this process, read from the system.
int socketWaitedOnBy(int tid);

// Shuts down a socket of this process so that a thread blocked on it wakes at once: the one with the
// identity id (0: any) at descriptor fd (-1: wherever it is), and only while it goes to port. The checks
// and the shutdown go through a copy of the descriptor, so a descriptor closed and reused meanwhile is
// left alone. Returns whether it cut.
bool cutSocket(quint64 id, int fd, quint16 port);

// Shuts down the socket that thread tid waits on (through joins, as above), while it goes to port. Its
// descriptor's number is read first: it may be closed and reused before the copy is taken (by OBS's own
// stream reconnecting to the same port), so the copy is taken for that socket only while the thread still
// waits on that number afterwards. Returns whether it cut.
bool cutSocketWaitedOnBy(int tid, quint16 port, const std::function<std::optional<BlockedCall>(int)> &callOf);
bool cutSocketWaitedOnBy(int tid, quint16 port);

// Paces the socket with the identity id, while it goes to port, at bytesPerSecond (the kernel's own TCP
// pacing); 0 lifts it. Returns whether it was set.
bool paceSocket(quint64 id, quint16 port, quint64 bytesPerSecond);

// Makes closing the socket with the identity id, while it goes to port, reset the connection at once rather
// than send what its buffer still holds first. Returns whether it was set.
bool resetOnClose(quint64 id, quint16 port);

// A connection's round trips as the kernel measures them: smoothed, and the least it has seen.
struct RoundTrip {
    unsigned smoothedUs = 0;
    unsigned leastUs = 0;
};
// The round trips of the socket with the identity id; fdHint is where it was last found, and is updated.
std::optional<RoundTrip> socketRoundTrip(quint64 id, int &fdHint);

// The calling thread's id, as the kernel knows it.
int currentThreadId();

// The TCP port of an RTMP server address: the one it names, else 1935 (443 for rtmps).
quint16 relayServerPort(const QString &server);
