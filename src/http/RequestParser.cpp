// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/RequestParser.h"

#include <QList>

namespace {
// Header names are compared as ASCII; bytes above 0x7F stay as they are.
QByteArray asciiLower(QByteArray bytes) {
    for (char &c : bytes) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return bytes;
}

// A bare CR or another control character would travel on into the requests the module makes.
bool holdsControlCharacter(const QByteArray &line) {
    const char *end = line.constData() + line.size() - (line.endsWith('\r') ? 1 : 0);
    for (const char *at = line.constData(); at < end; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F)
            return true;
    }
    return false;
}

void readHeaderLine(const QByteArray &rawLine, QMap<QByteArray, QByteArray> &headers) {
    const QByteArray line = rawLine.trimmed();
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return;
    headers.insert(asciiLower(line.left(colon).trimmed()), line.mid(colon + 1).trimmed());
}
} // namespace

qsizetype findHeadEnd(const QByteArray &buffer, qsizetype searchFrom) {
    return buffer.indexOf("\r\n\r\n", searchFrom < 0 ? 0 : searchFrom);
}

ParsedHead parseHead(const QByteArray &buffer, qsizetype headEnd) {
    ParsedHead head;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    for (const QByteArray &line : lines) {
        if (holdsControlCharacter(line)) {
            head.kind = ParseOutcome::BadRequestLine;
            return head;
        }
    }
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    if (words.size() < 2) {
        head.kind = ParseOutcome::BadRequestLine;
        return head;
    }

    HttpRequest &request = head.request;
    request.method = words[0];
    const QByteArray &target = words[1];
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i)
        readHeaderLine(lines[i], request.headers);

    bool numeric = false;
    qint64 length = request.headers.value("content-length").toLongLong(&numeric, 10);
    if (!numeric)
        length = 0;
    // Negative lengths wrap to huge unsigned values and are refused with the oversized ones.
    if (quint64(length) > quint64(kMaxBodyBytes)) {
        head.kind = ParseOutcome::BodyTooLarge;
        return head;
    }
    head.bodyLength = length;
    return head;
}

ParseOutcome parseRequest(const QByteArray &buffer) {
    ParseOutcome outcome;
    const qsizetype headEnd = findHeadEnd(buffer);
    if (headEnd < 0) {
        outcome.kind = buffer.size() > kMaxHeadBytes ? ParseOutcome::HeadTooLarge : ParseOutcome::NeedMore;
        return outcome;
    }
    ParsedHead head = parseHead(buffer, headEnd);
    if (head.kind != ParseOutcome::Complete) {
        outcome.kind = head.kind;
        return outcome;
    }
    const qsizetype bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < head.bodyLength)
        return outcome; // NeedMore
    outcome.request = std::move(head.request);
    outcome.request.body = buffer.mid(bodyStart, head.bodyLength);
    outcome.kind = ParseOutcome::Complete;
    return outcome;
}
