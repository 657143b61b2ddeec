// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtGlobal>
#include <vector>

// One TCP socket as the kernel's table lists it (/proc/net/tcp, /proc/net/tcp6).
struct TcpSocketRow {
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress remoteAddress;
    quint16 remotePort = 0;
    int state = 0; // the kernel's TCP state: 1 established, 2 SYN sent, 10 listening, ...
    quint32 uid = 0;
    quint64 inode = 0;
};

inline constexpr int kTcpEstablished = 1;
inline constexpr int kTcpSynSent = 2;

// The rows of one such table's text; lines that are not rows are passed over.
std::vector<TcpSocketRow> parseTcpTable(const QByteArray &table);

// The rows of both of this system's tables; false when neither could be read.
bool readTcpTables(std::vector<TcpSocketRow> &rows);

// The same address, whether written as IPv4 or as IPv4 mapped into IPv6 (::ffff:127.0.0.1).
bool sameHost(const QHostAddress &first, const QHostAddress &second);
