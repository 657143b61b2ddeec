// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real RTMP server: nginx with its RTMP module, on free loopback ports, with a config of its own.
// Application "live" takes any stream; "/stat" on the HTTP port reports the streams (rtmp_stat all).
class NginxRtmp {
public:
    struct Stream {
        QString name;
        qint64 bytesIn = 0;
    };

    enum class Recording { Off, On };

    // publishNotifyUrl, when given, receives nginx's on_publish call (stream name and arguments).
    // Recording::On keeps each stream in recordingPath(name), rewritten at every publish.
    explicit NginxRtmp(const QString &publishNotifyUrl = {}, Recording recording = Recording::Off);
    ~NginxRtmp();

    bool start();
    void kill(); // as a crash: SIGKILL, connections cut without goodbye
    bool running() const;

    QString rtmpUrl() const; // rtmp://127.0.0.1:<port>/live
    QString recordingPath(const QString &streamName) const;
    QList<Stream> streams();
    qint64 bytesIn(const QString &streamName);

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 rtmpPort_ = 0;
    quint16 httpPort_ = 0;
};
