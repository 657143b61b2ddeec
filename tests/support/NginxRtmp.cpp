// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/NginxRtmp.h"

#include "support/RawClient.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QXmlStreamReader>

namespace {
quint16 freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}
} // namespace

NginxRtmp::NginxRtmp(const QString &publishNotifyUrl, Recording recording)
    : rtmpPort_(freeLoopbackPort()), httpPort_(freeLoopbackPort()) {
    QString extra = publishNotifyUrl.isEmpty() ? QString() : "on_publish " + publishNotifyUrl + ";";
    if (recording == Recording::On)
        extra += QStringLiteral(" record all; record_path %1; record_unique off;").arg(dir_.path());
    const QString config = QStringLiteral(R"(
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
pid %1/nginx.pid;
error_log %1/error.log info;
events { worker_connections 64; }
rtmp {
    server {
        listen 127.0.0.1:%2;
        application live { live on; %4 }
    }
}
http {
    access_log off;
    client_body_temp_path %1/body;
    proxy_temp_path %1/proxy;
    fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi;
    scgi_temp_path %1/scgi;
    server {
        listen 127.0.0.1:%3;
        location /stat { rtmp_stat all; }
    }
}
)")
                               .arg(dir_.path())
                               .arg(rtmpPort_)
                               .arg(httpPort_)
                               .arg(extra.isEmpty() ? QStringLiteral("record off;") : extra);
    QFile file(dir_.path() + "/nginx.conf");
    if (file.open(QIODevice::WriteOnly))
        file.write(config.toUtf8());
}

NginxRtmp::~NginxRtmp() {
    kill();
}

bool NginxRtmp::start() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("nginx"),
                   {"-p", dir_.path(), "-c", dir_.path() + "/nginx.conf", "-e", dir_.path() + "/error.log"});
    if (!process_.waitForStarted(5000))
        return false;
    return waitUntil([this] { return accepts(rtmpPort_) && accepts(httpPort_); }, 10000);
}

void NginxRtmp::kill() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool NginxRtmp::running() const {
    return process_.state() == QProcess::Running;
}

QString NginxRtmp::recordingPath(const QString &streamName) const {
    return dir_.path() + QLatin1Char('/') + streamName + QStringLiteral(".flv");
}

QString NginxRtmp::rtmpUrl() const {
    return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(rtmpPort_);
}

QList<NginxRtmp::Stream> NginxRtmp::streams() {
    const QByteArray response =
        exchange(httpPort_, "GET /stat HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", 5000).received;
    QList<Stream> found;
    QXmlStreamReader xml(responseBody(response));
    Stream current;
    bool inStream = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("stream")) {
            inStream = true;
            current = Stream();
        } else if (xml.isEndElement() && xml.name() == QLatin1String("stream")) {
            inStream = false;
            found << current;
        } else if (inStream && xml.isStartElement() && xml.name() == QLatin1String("name")) {
            current.name = xml.readElementText();
        } else if (inStream && xml.isStartElement() && xml.name() == QLatin1String("bytes_in")) {
            current.bytesIn = xml.readElementText().toLongLong();
        }
    }
    return found;
}

qint64 NginxRtmp::bytesIn(const QString &streamName) {
    for (const Stream &stream : streams()) {
        if (stream.name == streamName)
            return stream.bytesIn;
    }
    return -1;
}
