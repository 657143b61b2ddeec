// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RtmpConnectRewrite.h"

#include <gtest/gtest.h>

namespace {
const QByteArray kLocal = "rtmp://127.0.0.1:40123";
const QByteArray kServer = "rtmps://ingest.example.com";

QByteArray amfString(const QByteArray &text) {
    return QByteArray(1, 0x02) + char(text.size() >> 8) + char(text.size() & 0xff) + text;
}

QByteArray property(const QByteArray &name, const QByteArray &value) {
    return QByteArray(1, char(name.size() >> 8)) + char(name.size() & 0xff) + name + value;
}

// A client's connect command as libobs writes it, naming base as its address.
QByteArray connectBody(const QByteArray &base) {
    return amfString("connect") + QByteArray("\x00\x3f\xf0\x00\x00\x00\x00\x00\x00", 9) + char(0x03) +
           property("app", amfString("live")) + property("type", amfString("nonprivate")) +
           property("flashVer", amfString("FMLE/3.0 (compatible; FMSc/1.0)")) +
           property("swfUrl", amfString(base + "/live")) + property("tcUrl", amfString(base + "/live")) +
           property("fpad", QByteArray("\x01\x00", 2)) + property("pageUrl", QByteArray(1, 0x05)) +
           property("capabilities", QByteArray("\x00\x40\x6d\xe0\x00\x00\x00\x00\x00", 9)) +
           QByteArray("\x00\x00\x09", 3);
}

// An RTMP message on chunk stream id in chunks of chunkSize.
QByteArray chunks(int id, quint8 type, const QByteArray &body, int chunkSize) {
    QByteArray out(1, char(id));
    out += QByteArray("\x00\x00\x00", 3) + char(body.size() >> 16) + char(body.size() >> 8 & 0xff) +
           char(body.size() & 0xff) + char(type) + QByteArray(4, 0);
    for (int at = 0; at < body.size(); at += chunkSize)
        out += (at > 0 ? QByteArray(1, char(0xc0 | id)) : QByteArray()) + body.mid(at, chunkSize);
    return out;
}

QByteArray handshake() {
    QByteArray bytes(1 + 1536 + 1536, 'h');
    bytes[0] = 0x03;
    return bytes;
}

QByteArray setChunkSize(int size) {
    return chunks(2, 1,
                  QByteArray(1, char(size >> 24)) + char(size >> 16 & 0xff) + char(size >> 8 & 0xff) +
                      char(size & 0xff),
                  128);
}

// Everything passed through, fed in pieces of size step.
QByteArray passed(const QByteArray &stream, int step) {
    RtmpConnectRewrite rewrite(kLocal, kServer);
    QByteArray out;
    for (int at = 0; at < stream.size(); at += step)
        out += rewrite.pass(stream.mid(at, step));
    return out;
}
} // namespace

// The server sees the configured address in the command, however the client's bytes arrive and whatever
// chunk size it set; what follows the command is untouched.
TEST(RtmpConnectRewrite, TheServerSeesItsOwnAddressInTheConnectCommand) {
    const QByteArray after = chunks(3, 0x14, amfString("releaseStream") + kLocal, 4096) + "media bytes";
    for (const int chunkSize : {4096, 128, 60}) {
        const QByteArray prefix = handshake() + (chunkSize == 128 ? QByteArray() : setChunkSize(chunkSize));
        const QByteArray sent = prefix + chunks(3, 0x14, connectBody(kLocal), chunkSize) + after;
        const QByteArray expected = prefix + chunks(3, 0x14, connectBody(kServer), chunkSize) + after;
        for (const int step : {1, 7, 1000, int(sent.size())})
            EXPECT_EQ(passed(sent, step), expected) << chunkSize << " " << step;
    }
}

// A stream that is not what a client sends first goes on byte for byte.
TEST(RtmpConnectRewrite, AStreamItCannotReadGoesOnAsItIs) {
    const QByteArray unreadable = handshake() + char(0x83) + "\x00\x00\x00" + connectBody(kLocal);
    const QByteArray notConnect = handshake() + chunks(3, 0x14, amfString("publish") + kLocal, 128) + "rest";
    for (const QByteArray &stream : {unreadable, notConnect, handshake().left(100)})
        EXPECT_EQ(passed(stream, 5), stream);
    RtmpConnectRewrite rewrite(kLocal, kServer);
    rewrite.pass(unreadable);
    EXPECT_TRUE(rewrite.done());
}
