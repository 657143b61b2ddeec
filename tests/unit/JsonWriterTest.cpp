// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/JsonWriter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringList>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>

namespace {
// Numbers where formatting turns: integral or not, the edges of exact integers, exponents, NaN, infinities.
const double kTrickyDoubles[] = {0.0,
                                 -0.0,
                                 30.0,
                                 29.97002997,
                                 0.1,
                                 1e-7,
                                 1733600000123.0,
                                 1e15 + 0.5,
                                 1e21,
                                 9223372036854775807.0,
                                 9007199254740992.0,
                                 -9007199254740992.0,
                                 9007199254740994.0,
                                 1e18,
                                 -1e17,
                                 1.5e300,
                                 std::numeric_limits<double>::denorm_min(),
                                 std::nan(""),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity()};
// Text as OBS hands it over: quotes, controls, UTF-8 and broken UTF-8 (never NUL).
const char *const kTextPieces[] = {
    "a",    "Z",    " ",           "\"", "\\",       "\n",           "\t",
    "\x01", "\x1f", "\x7f",        "/",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x8e\xa5",
    "\xc3", "\xff", "\xed\xa0\x80"};

double randomDouble(QRandomGenerator &random) {
    switch (random.bounded(4)) {
    case 0:
        return kTrickyDoubles[random.bounded(int(std::size(kTrickyDoubles)))];
    case 1:
        return double(qint64(random.generate64()) >> random.bounded(64));
    case 2:
        return random.generateDouble() * std::pow(10.0, random.bounded(-12, 16));
    default: {
        const quint64 bits = random.generate64();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        return any;
    }
    }
}

// One generated object, written both by the writer and by Qt; members of every kind the writer takes, with
// UTF-16 text that has lone surrogates too.
void generate(QRandomGenerator &random, int depth, JsonWriter &writer, QJsonObject &qt) {
    QStringList keys;
    for (int count = int(random.bounded(9)); count > 0; --count) {
        QString key;
        for (int length = 1 + int(random.bounded(8)); length > 0; --length)
            key += QLatin1Char("abcXYZ_09"[random.bounded(9)]);
        if (!keys.contains(key))
            keys += key;
    }
    keys.sort(); // the order in which Qt keeps an object's members

    writer.beginObject();
    for (const QString &key : keys) {
        writer.key(key.toLatin1().constData());
        const int kind = int(random.bounded(depth < 3 ? 6 : 5));
        if (kind == 0) {
            const bool flag = random.bounded(2) == 1;
            writer.value(flag), qt.insert(key, flag);
        } else if (kind == 1) {
            const int number = int(random.generate());
            writer.value(number), qt.insert(key, number);
        } else if (kind == 2) {
            const double number = randomDouble(random);
            writer.value(number), qt.insert(key, number);
        } else if (kind == 3) {
            QByteArray utf8;
            for (int count = int(random.bounded(12)); count > 0; --count)
                utf8 += kTextPieces[random.bounded(int(std::size(kTextPieces)))];
            writer.value(utf8.constData()), qt.insert(key, QString::fromUtf8(utf8));
        } else if (kind == 4) {
            QString text;
            for (int count = int(random.bounded(10)); count > 0; --count)
                text += QChar(char16_t(random.bounded(3) == 0 ? 0xd83c : random.bounded(0x10000)));
            writer.value(text), qt.insert(key, text);
        } else {
            QJsonObject inner;
            generate(random, depth + 1, writer, inner);
            qt.insert(key, inner);
        }
    }
    writer.endObject();
}
} // namespace

TEST(JsonWriter, WritesExactlyWhatQtWritesForGeneratedObjects) {
    QRandomGenerator random(20261207);
    for (int round = 0; round < 3000; ++round) {
        QByteArray written;
        JsonWriter writer(written);
        QJsonObject qt;
        generate(random, 0, writer, qt);
        ASSERT_EQ(written.toStdString(), QJsonDocument(qt).toJson(QJsonDocument::Compact).toStdString())
            << "round " << round;
    }
}
