// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/RequestPath.h"

#include <QList>

namespace {
bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict: a "%" must start two hex digits. Qt's decoder turns "%2%" into some byte instead, which
// no server on the far side would agree with.
std::optional<QByteArray> percentDecoded(const QByteArray &raw) {
    QByteArray decoded;
    decoded.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw.at(int(i));
        if (c != '%') {
            decoded += c;
            continue;
        }
        const int upper = i + 1 < raw.size() ? hexValue(raw.at(int(i + 1))) : -1;
        const int lower = i + 2 < raw.size() ? hexValue(raw.at(int(i + 2))) : -1;
        if (upper < 0 || lower < 0)
            return std::nullopt;
        decoded += char(upper * 16 + lower);
        i += 2;
    }
    return decoded;
}
} // namespace

std::optional<QByteArray> normalisedPath(const QByteArray &rawPath) {
    const std::optional<QByteArray> strictlyDecoded = percentDecoded(rawPath);
    if (!strictlyDecoded)
        return std::nullopt;
    const QByteArray &decoded = *strictlyDecoded;
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
