// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/JsonWriter.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
char hexDigit(uint value) {
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

// Qt's escapes: the two JSON specials, the short forms of five control characters, \u00XX for the rest
// below 0x20; everything else as UTF-8, a lone surrogate as \uXXXX.
void appendEscaped(QByteArray &out, const QString &text) {
    const QChar *at = text.constData();
    const QChar *const end = at + text.size();
    while (at != end) {
        const char16_t unit = at->unicode();
        ++at;
        if (unit >= 0x20 && unit < 0x80 && unit != '"' && unit != '\\') {
            out += char(unit);
            continue;
        }
        if (unit < 0x80) {
            out += '\\';
            switch (unit) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '\b':
                out += 'b';
                break;
            case '\f':
                out += 'f';
                break;
            case '\n':
                out += 'n';
                break;
            case '\r':
                out += 'r';
                break;
            case '\t':
                out += 't';
                break;
            default:
                out += "u00";
                out += hexDigit(unit >> 4);
                out += hexDigit(unit & 0xf);
            }
            continue;
        }
        char32_t codePoint = unit;
        if (QChar::isHighSurrogate(unit) && at != end && at->isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(unit, at->unicode());
            ++at;
        } else if (QChar::isSurrogate(unit)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hexDigit((unit >> shift) & 0xf);
            continue;
        }
        if (codePoint < 0x800) {
            out += char(0xc0 | (codePoint >> 6));
        } else if (codePoint < 0x10000) {
            out += char(0xe0 | (codePoint >> 12));
            out += char(0x80 | ((codePoint >> 6) & 0x3f));
        } else {
            out += char(0xf0 | (codePoint >> 18));
            out += char(0x80 | ((codePoint >> 12) & 0x3f));
            out += char(0x80 | ((codePoint >> 6) & 0x3f));
        }
        out += char(0x80 | (codePoint & 0x3f));
    }
}
} // namespace

void JsonWriter::separate() {
    if (!first_)
        out_ += ',';
    first_ = false;
}

void JsonWriter::beginObject() {
    out_ += '{';
    first_ = true;
}

void JsonWriter::endObject() {
    out_ += '}';
    first_ = false;
}

JsonWriter &JsonWriter::key(const char *key) {
    separate();
    out_ += '"';
    out_ += key;
    out_ += "\":";
    first_ = true; // the value that follows takes no comma
    return *this;
}

void JsonWriter::value(bool flag) {
    out_ += flag ? "true" : "false";
    first_ = false;
}

void JsonWriter::value(int number) {
    out_ += QByteArray::number(number);
    first_ = false;
}

void JsonWriter::value(double number) {
    // Qt keeps an integral double that an integer holds exactly (up to 2^53) as that integer, and writes the
    // other doubles in the shorter of the plain and the exponent form; Qt 5 writes integral ones below 2^64
    // without exponent.
    constexpr double kExactIntegers = 9007199254740992.0; // 2^53
    const bool integral = std::isfinite(number) && number == std::trunc(number);
    char format = 'g';
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    if (integral && std::fabs(number) < 18446744073709551616.0) // 2^64
        format = 'f';
#endif
    if (!std::isfinite(number))
        out_ += "null";
    else if (integral && std::fabs(number) <= kExactIntegers)
        out_ += QByteArray::number(qint64(number));
    else
        out_ += QByteArray::number(number, format, QLocale::FloatingPointShortest);
    first_ = false;
}

void JsonWriter::value(const char *utf8) {
    text(utf8 ? utf8 : "", utf8 ? qsizetype(std::strlen(utf8)) : 0);
}

void JsonWriter::value(const QString &text) {
    out_ += '"';
    appendEscaped(out_, text);
    out_ += '"';
    first_ = false;
}

// Plain printable ASCII goes as it is; anything else takes Qt's way through UTF-16, which also mends
// invalid UTF-8 as Qt does.
void JsonWriter::text(const char *utf8, qsizetype length) {
    const bool plain = std::all_of(utf8, utf8 + length,
                                   [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
    if (!plain) {
        value(QString::fromUtf8(utf8, int(length)));
        return;
    }
    out_ += '"';
    out_.append(utf8, int(length));
    out_ += '"';
    first_ = false;
}
