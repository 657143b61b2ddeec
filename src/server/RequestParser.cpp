#include "server/RequestParser.h"

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

void readHeaderLine(const QByteArray &rawLine, QMap<QByteArray, QByteArray> &headers) {
    const QByteArray line = rawLine.trimmed();
    const int colon = line.indexOf(':');
    if (colon <= 0)
        return;
    headers.insert(asciiLower(line.left(colon).trimmed()), line.mid(colon + 1).trimmed());
}
} // namespace

ParseOutcome parseRequest(const QByteArray &buffer) {
    ParseOutcome outcome;
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        outcome.kind = buffer.size() > kMaxHeadBytes ? ParseOutcome::HeadTooLarge : ParseOutcome::NeedMore;
        return outcome;
    }

    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    if (words.size() < 2) {
        outcome.kind = ParseOutcome::BadRequestLine;
        return outcome;
    }

    HttpRequest &request = outcome.request;
    request.method = words[0];
    const QByteArray &target = words[1];
    const int question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (int i = 1; i < lines.size(); ++i)
        readHeaderLine(lines[i], request.headers);

    bool numeric = false;
    qint64 length = request.headers.value("content-length").toLongLong(&numeric, 10);
    if (!numeric)
        length = 0;
    // Negative lengths wrap to huge unsigned values and are refused with the oversized ones.
    if (quint64(length) > quint64(kMaxBodyBytes)) {
        outcome.kind = ParseOutcome::BodyTooLarge;
        return outcome;
    }

    const qint64 bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < length)
        return outcome; // NeedMore
    request.body = buffer.mid(int(bodyStart), int(length));
    outcome.kind = ParseOutcome::Complete;
    return outcome;
}
