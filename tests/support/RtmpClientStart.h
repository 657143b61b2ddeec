// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

// What an RTMP client such as libobs sends first: its handshake, then a connect command that names url as its
// tcUrl (in one chunk, as libobs sends it after setting a large chunk size).
inline QByteArray rtmpClientStart(const QByteArray &url) {
    QByteArray handshake(1 + 1536 + 1536, 'h');
    handshake[0] = 3;
    const QByteArray command = QByteArray("\x02\x00\x07", 3) + "connect" + QByteArray(9, 0) + char(3) +
                               QByteArray("\x00\x05", 2) + "tcUrl" + char(2) + char(0) + char(url.size()) +
                               url + QByteArray("\x00\x00\x09", 3);
    return handshake + QByteArray("\x03\x00\x00\x00\x00\x00", 6) + char(command.size()) + char(0x14) +
           QByteArray(4, 0) + command;
}
