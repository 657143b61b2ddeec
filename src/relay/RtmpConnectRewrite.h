// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

// What libobs sends on the relay's connection, passed on unchanged but for the URLs of its RTMP "connect"
// command. libobs connects to the relay's connection on 127.0.0.1 and names that address in the command
// (tcUrl, and swfUrl, which libobs copies from it); the server must see the address the streamer configured,
// as it did when libobs connected to it itself. Everything after that command goes through untouched.
class RtmpConnectRewrite {
public:
    // localPrefix: the scheme and authority libobs was given ("rtmp://127.0.0.1:PORT"); serverPrefix: the
    // configured server's ("rtmps://ingest.example.com").
    RtmpConnectRewrite(QByteArray localPrefix, QByteArray serverPrefix);

    // Takes the next bytes the client sent; returns what goes to the server now (whole RTMP messages until
    // the command has gone, everything after).
    QByteArray pass(const QByteArray &bytes);
    // Whether the command has gone by, rewritten or, when it could not be read, as it was.
    bool done() const { return finished; }

private:
    bool passMessage(QByteArray &out); // false: more bytes needed
    QByteArray rewriteUrls(const QByteArray &body) const;

    QByteArray localPrefix;
    QByteArray serverPrefix;
    QByteArray pending;
    int handshakeLeft = 1 + 1536 + 1536; // C0, C1 and C2
    quint32 chunkSize = 128;             // RTMP's until the client sets its own
    bool finished = false;
};
