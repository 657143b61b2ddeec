// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "host/ModuleRun.h"
#include "support/RawClient.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

// A running module with real libobs video, services and encoders, a simple-mode profile, and a helper
// that calls the bridge the way the dock page does.
class BridgeRun : public ModuleRun {
protected:
    struct Answer {
        int status = 0;
        QJsonObject json;
        QByteArray raw;
    };

    void SetUp() override {
        obshost::startVideoAndOutputs();
        ModuleRun::SetUp();
        resetFrontendProfile("[General]\nName=Untitled\n[Output]\nMode=Simple\n"
                             "[SimpleOutput]\nStreamEncoder=x264\nVBitrate=2500\n");
    }

    void start() {
        server = &finishLoading();
        port = server->port;
    }

    Answer bridge(const QByteArray &method, const QByteArray &action, const QByteArray &body = {}) {
        QByteArray headers = "x-ov-bridge: " + server->bridgeKey.toUtf8() + "\r\n";
        if (!body.isNull())
            headers +=
                "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                "\r\n";
        const QByteArray raw =
            exchange(port, requestFor(port, method, "/bridge/" + action, headers) + body).received;
        Answer answer;
        answer.raw = raw;
        answer.status = raw.mid(9, 3).toInt();
        answer.json = QJsonDocument::fromJson(responseBody(raw)).object();
        EXPECT_EQ(responseBody(raw), QJsonDocument(answer.json).toJson(QJsonDocument::Compact))
            << "every answer's bytes are what Qt would write for it";
        return answer;
    }

    QJsonObject obsState() { return bridge("GET", "state").json.value("obs").toObject(); }

    static QByteArray readFile(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QJsonObject readJsonFile(const QString &path) {
        return QJsonDocument::fromJson(readFile(path)).object();
    }

    static void writeFile(const QString &path, const QByteArray &bytes) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(bytes);
    }

    LocalServer *server = nullptr;
    quint16 port = 0;
};

inline QJsonObject error(const char *text) {
    return QJsonObject{{"error", text}};
}

inline const QJsonObject ok{{"ok", true}};
