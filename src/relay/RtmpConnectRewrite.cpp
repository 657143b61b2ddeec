// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RtmpConnectRewrite.h"

#include <optional>
#include <utility>

namespace {
constexpr quint8 kSetChunkSize = 1;
constexpr quint8 kLastControl = 6; // chunk size, abort, acknowledgement, user control, window sizes
constexpr quint8 kCommandAmf0 = 0x14;
constexpr char kAmfNumber = 0x00, kAmfBoolean = 0x01, kAmfString = 0x02, kAmfObject = 0x03, kAmfNull = 0x05,
               kAmfUndefined = 0x06, kAmfObjectEnd = 0x09;

quint32 bigEndian(const QByteArray &bytes, int at, int size) {
    quint32 value = 0;
    for (int index = 0; index < size; ++index)
        value = value << 8 | quint8(bytes[at + index]);
    return value;
}

void appendBigEndian(QByteArray &out, quint32 value, int size) {
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
        out.append(char(value >> shift & 0xff));
}

// One RTMP message at the front of a buffer, with the chunks it came in.
struct Message {
    int consumed = 0; // bytes of the buffer, chunk headers included
    quint32 chunkStream = 0;
    QByteArray header; // the first chunk's message header (after its basic header)
    quint8 type = 0;
    QByteArray body;
};

// The basic header's chunk stream id and size, at at; nullopt until the buffer holds it.
std::optional<std::pair<quint32, int>> basicHeader(const QByteArray &buffer, int at) {
    if (at >= buffer.size())
        return std::nullopt;
    const quint32 low = quint8(buffer[at]) & 0x3f;
    const int size = low == 0 ? 2 : low == 1 ? 3 : 1;
    if (at + size > buffer.size())
        return std::nullopt;
    if (low == 0)
        return std::pair(64 + quint32(quint8(buffer[at + 1])), size);
    if (low == 1)
        return std::pair(64 + quint32(quint8(buffer[at + 1])) + 256 * quint32(quint8(buffer[at + 2])), size);
    return std::pair(low, size);
}

enum class Read { Whole, More, Unreadable };

// A message that starts with a chunk carrying its length and type (format 0 or 1) and goes on in format 3
// chunks of the same stream, as a client's first messages do.
Read readMessage(const QByteArray &buffer, quint32 chunkSize, Message &message) {
    const auto first = basicHeader(buffer, 0);
    if (!first)
        return Read::More;
    const int format = quint8(buffer[0]) >> 6;
    if (format > 1)
        return Read::Unreadable;
    int at = first->second;
    const int headerSize = format == 0 ? 11 : 7;
    if (at + headerSize > buffer.size())
        return Read::More;
    message.header = buffer.mid(at, headerSize);
    const bool extendedTime = bigEndian(buffer, at, 3) == 0xffffff;
    const quint32 length = bigEndian(buffer, at + 3, 3);
    message.type = quint8(buffer[at + 6]);
    at += headerSize;
    if (extendedTime) {
        if (at + 4 > buffer.size())
            return Read::More;
        message.header += buffer.mid(at, 4);
        at += 4;
    }
    message.chunkStream = first->first;
    message.body.clear();
    while (true) {
        const int take = int(qMin<quint32>(chunkSize, length - quint32(message.body.size())));
        if (at + take > buffer.size())
            return Read::More;
        message.body += buffer.mid(at, take);
        at += take;
        if (quint32(message.body.size()) == length)
            break;
        const auto next = basicHeader(buffer, at);
        if (!next)
            return Read::More;
        if (quint8(buffer[at]) >> 6 != 3 || next->first != message.chunkStream)
            return Read::Unreadable;
        at += next->second + (extendedTime ? 4 : 0);
    }
    message.consumed = at;
    return Read::Whole;
}

// The message again, in chunks of chunkSize, its length in its header set to its body's.
QByteArray chunked(const Message &message, quint32 chunkSize) {
    QByteArray header = message.header;
    const QByteArray length = [&] {
        QByteArray bytes;
        appendBigEndian(bytes, quint32(message.body.size()), 3);
        return bytes;
    }();
    header.replace(3, 3, length);
    const bool extendedTime = bigEndian(header, 0, 3) == 0xffffff;
    const int format = header.size() - (extendedTime ? 4 : 0) == 11 ? 0 : 1;
    const auto basic = [&](int chunkFormat) {
        QByteArray bytes;
        const quint32 id = message.chunkStream;
        if (id < 64) {
            bytes.append(char(chunkFormat << 6 | int(id)));
        } else if (id < 64 + 256) {
            bytes.append(char(chunkFormat << 6));
            bytes.append(char(id - 64));
        } else {
            bytes.append(char(chunkFormat << 6 | 1));
            bytes.append(char((id - 64) & 0xff));
            bytes.append(char((id - 64) >> 8));
        }
        return bytes;
    };
    QByteArray out = basic(format);
    out += header;
    for (int at = 0; at < message.body.size(); at += int(chunkSize)) {
        if (at > 0) {
            out += basic(3);
            if (extendedTime)
                out += header.right(4);
        }
        out += message.body.mid(at, int(chunkSize));
    }
    return out;
}

// The AMF0 string at at (marker included), or nullopt.
std::optional<QByteArray> amfString(const QByteArray &body, int at) {
    if (at + 3 > body.size() || body[at] != kAmfString)
        return std::nullopt;
    const int size = int(bigEndian(body, at + 1, 2));
    if (at + 3 + size > body.size())
        return std::nullopt;
    return body.mid(at + 3, size);
}
} // namespace

RtmpConnectRewrite::RtmpConnectRewrite(QByteArray localPrefix, QByteArray serverPrefix)
    : localPrefix(std::move(localPrefix)), serverPrefix(std::move(serverPrefix)) {}

QByteArray RtmpConnectRewrite::pass(const QByteArray &bytes) {
    if (finished)
        return bytes;
    pending += bytes;
    QByteArray out;
    const int handshake = qMin(handshakeLeft, int(pending.size()));
    out += pending.left(handshake);
    pending.remove(0, handshake);
    handshakeLeft -= handshake;
    if (handshakeLeft > 0)
        return out;
    while (!finished && passMessage(out)) {
    }
    if (finished)
        out += std::exchange(pending, QByteArray());
    return out;
}

bool RtmpConnectRewrite::passMessage(QByteArray &out) {
    Message message;
    switch (readMessage(pending, chunkSize, message)) {
    case Read::More:
        return false;
    case Read::Unreadable:
        finished = true; // passed on as it is: the server still gets every byte
        return false;
    case Read::Whole:
        break;
    }
    pending.remove(0, message.consumed);
    if (message.type == kSetChunkSize && message.body.size() >= 4)
        chunkSize = qMax<quint32>(1, bigEndian(message.body, 0, 4) & 0x7fffffff);
    // The first command is the connect; anything else than protocol control before it ends the watch.
    if (message.type == kCommandAmf0 && amfString(message.body, 0) == QByteArray("connect"))
        message.body = rewriteUrls(message.body);
    else if (message.type > kLastControl)
        finished = true;
    if (message.type == kCommandAmf0)
        finished = true;
    out += chunked(message, chunkSize);
    return true;
}

// The command's name, its transaction number, then its object of properties: each string property that names
// the local address names the server instead. A value of a type a client's connect does not hold there ends
// the walk, leaving the rest as it was.
QByteArray RtmpConnectRewrite::rewriteUrls(const QByteArray &body) const {
    int at = 3 + int(bigEndian(body, 1, 2)) + 9; // "connect", then the number
    if (at >= body.size() || body[at] != kAmfObject)
        return body;
    QByteArray out = body.left(++at);
    while (at + 3 <= body.size()) {
        const int nameSize = int(bigEndian(body, at, 2));
        if (nameSize == 0 && body[at + 2] == kAmfObjectEnd)
            break;
        const int valueAt = at + 2 + nameSize;
        if (valueAt >= body.size())
            break;
        int valueSize = 0;
        switch (body[valueAt]) {
        case kAmfNumber:
            valueSize = 9;
            break;
        case kAmfBoolean:
            valueSize = 2;
            break;
        case kAmfNull:
        case kAmfUndefined:
            valueSize = 1;
            break;
        case kAmfString:
            if (const auto text = amfString(body, valueAt)) {
                valueSize = 3 + int(text->size());
                if (text->startsWith(localPrefix)) {
                    QByteArray url = serverPrefix;
                    url += text->mid(localPrefix.size());
                    if (url.size() <= 0xffff) {
                        out += body.mid(at, 2 + nameSize);
                        out.append(kAmfString);
                        appendBigEndian(out, quint32(url.size()), 2);
                        out += url;
                        at = valueAt + valueSize;
                        continue;
                    }
                }
            }
            break;
        }
        if (valueSize == 0 || valueAt + valueSize > body.size())
            break;
        out += body.mid(at, valueAt + valueSize - at);
        at = valueAt + valueSize;
    }
    out += body.mid(at);
    return out;
}
