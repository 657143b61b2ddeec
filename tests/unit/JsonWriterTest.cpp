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
// Numbers where formatting turns: integral or not, the edges of 64-bit integers, exponents, NaN, infinities.
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
                                 -9223372036854775808.0,
                                 9007199254740993.0,
                                 1.5e300,
                                 std::numeric_limits<double>::denorm_min(),
                                 std::nan(""),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity()};

double randomDouble(QRandomGenerator &random) {
    const int pick = int(random.bounded(4));
    if (pick == 0)
        return kTrickyDoubles[random.bounded(int(std::size(kTrickyDoubles)))];
    if (pick == 1)
        return double(qint64(random.generate64()) >> random.bounded(64));
    if (pick == 2)
        return random.generateDouble() * std::pow(10.0, random.bounded(-12, 16));
    const quint64 bits = random.generate64();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    return any;
}

// Bytes as OBS hands them over: mostly text, some quotes, controls, UTF-8 and broken UTF-8 (never NUL).
QByteArray randomUtf8(QRandomGenerator &random) {
    static const char *const pieces[] = {
        "a",    "Z",    " ",           "\"", "\\",       "\n",           "\t",
        "\x01", "\x1f", "\x7f",        "/",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x8e\xa5",
        "\xc3", "\xff", "\xed\xa0\x80"};
    QByteArray text;
    for (int count = int(random.bounded(12)); count > 0; --count)
        text += pieces[random.bounded(int(std::size(pieces)))];
    return text;
}

QString randomUtf16(QRandomGenerator &random) {
    QString text;
    for (int count = int(random.bounded(10)); count > 0; --count) {
        const int pick = int(random.bounded(3));
        text += QChar(char16_t(pick == 0   ? random.bounded(0x80)
                               : pick == 1 ? random.bounded(0x10000)
                                           : 0xd83c));
    }
    return text;
}

// One generated object, written both by the writer and by Qt.
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
        const QByteArray name = key.toLatin1();
        writer.key(name.constData());
        switch (random.bounded(depth < 3 ? 6 : 5)) {
        case 0: {
            const bool flag = random.bounded(2) == 1;
            writer.value(flag);
            qt.insert(key, flag);
            break;
        }
        case 1: {
            const int number = int(random.generate());
            writer.value(number);
            qt.insert(key, number);
            break;
        }
        case 2: {
            const double number = randomDouble(random);
            writer.value(number);
            qt.insert(key, number);
            break;
        }
        case 3: {
            const QByteArray utf8 = randomUtf8(random);
            writer.value(utf8.constData());
            qt.insert(key, QString::fromUtf8(utf8));
            break;
        }
        case 4: {
            const QString text = randomUtf16(random);
            writer.value(text);
            qt.insert(key, text);
            break;
        }
        default: {
            QJsonObject inner;
            generate(random, depth + 1, writer, inner);
            qt.insert(key, inner);
        }
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
