#include "http/RequestPath.h"

#include <QList>

namespace {
bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}
} // namespace

std::optional<QByteArray> normalisedPath(const QByteArray &rawPath) {
    const QByteArray decoded = QByteArray::fromPercentEncoding(rawPath);
    for (const char c : decoded) {
        if (c == '\\' || isControl(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    QByteArray normalised;
    normalised.reserve(decoded.size());
    for (const QByteArray &segment : decoded.split('/')) {
        if (segment == "." || segment == "..")
            return std::nullopt;
        if (segment.isEmpty())
            continue;
        normalised += '/' + segment;
    }
    if (decoded.startsWith('/') && normalised.isEmpty())
        return QByteArray("/");
    if (decoded.endsWith('/') && !normalised.endsWith('/'))
        normalised += '/';
    if (!decoded.startsWith('/') && normalised.startsWith('/'))
        normalised.remove(0, 1);
    return normalised;
}
