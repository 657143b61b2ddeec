// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// Writes compact JSON straight into bytes, exactly as Qt's QJsonDocument::toJson(Compact) writes the same
// objects: the caller adds each object's members in ascending key order (as Qt keeps them), and numbers and
// strings come out as Qt formats them. For answers sent many times a second; everything else uses Qt's JSON.
class JsonWriter {
public:
    explicit JsonWriter(QByteArray &out) : out_(out) {}

    void beginObject();
    void endObject();
    // Starts a member: key is plain ASCII that needs no escape.
    JsonWriter &key(const char *key);

    void value(bool flag);
    void value(int number);
    void
    value(double number); // as QJsonValue(double): integral values as integers, NaN and infinities as null
    void value(const char *utf8);
    void value(const QString &text);

private:
    void separate();
    void text(const char *utf8, qsizetype length);

    QByteArray &out_;
    bool first_ = true; // no member yet in the object being written
};
