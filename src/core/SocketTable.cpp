// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/SocketTable.h"

#include <QFile>
#include <QList>
#include <QtEndian>
#include <cstring>

namespace {
// "0100007F:1F90": the address as the kernel stores it, printed as native 32-bit words, and the port.
bool parseEnd(const QByteArray &text, QHostAddress &address, quint16 &port) {
    const int colon = text.indexOf(':');
    if (colon != 8 && colon != 32)
        return false;
    bool ok = false;
    port = quint16(text.mid(colon + 1).toUInt(&ok, 16));
    if (!ok)
        return false;
    quint8 bytes[16] = {};
    for (int word = 0; word < colon / 8; ++word) {
        const quint32 value = text.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return false;
        std::memcpy(bytes + word * 4, &value, 4); // native order back to the bytes the kernel held
    }
    if (colon == 8) {
        quint32 networkOrder = 0;
        std::memcpy(&networkOrder, bytes, 4);
        address = QHostAddress(qFromBigEndian(networkOrder));
    } else {
        address = QHostAddress(bytes);
    }
    return true;
}
} // namespace

std::vector<TcpSocketRow> parseTcpTable(const QByteArray &table) {
    std::vector<TcpSocketRow> rows;
    for (const QByteArray &line : table.split('\n')) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10)
            continue;
        TcpSocketRow row;
        bool stateOk = false, uidOk = false, inodeOk = false;
        row.state = fields.at(3).toInt(&stateOk, 16);
        row.uid = fields.at(7).toUInt(&uidOk);
        row.inode = fields.at(9).toULongLong(&inodeOk);
        if (stateOk && uidOk && inodeOk && parseEnd(fields.at(1), row.localAddress, row.localPort) &&
            parseEnd(fields.at(2), row.remoteAddress, row.remotePort))
            rows.push_back(row);
    }
    return rows;
}

bool readTcpTables(std::vector<TcpSocketRow> &rows) {
    bool readAny = false;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        readAny = true;
        const std::vector<TcpSocketRow> found = parseTcpTable(table.readAll());
        rows.insert(rows.end(), found.begin(), found.end());
    }
    return readAny;
}

bool sameHost(const QHostAddress &first, const QHostAddress &second) {
    bool firstIsV4 = false, secondIsV4 = false;
    const quint32 firstV4 = first.toIPv4Address(&firstIsV4);
    const quint32 secondV4 = second.toIPv4Address(&secondIsV4);
    if (firstIsV4 || secondIsV4)
        return firstIsV4 && secondIsV4 && firstV4 == secondV4;
    return first == second;
}
