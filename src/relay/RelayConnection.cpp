// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayConnection.h"

#include "core/SocketIo.h"
#include "core/TcpPath.h"
#include "relay/RtmpConnectRewrite.h"
#include "relay/ServerLookup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <mutex>
#include <set>

namespace {
// A connect, and a TLS handshake, that has not finished by then has failed.
constexpr int kConnectDeadlineMs = 20000;
constexpr int kLookupPollMs = 20;
constexpr int kSampleMs = 100;
// How long what libobs sent last may take to reach the server once libobs has ended its stream.
constexpr int kFlushDeadlineMs = 3000;
// What waits in this connection for the server at most: beyond it libobs's own queue backs up, and libobs
// drops frames as it would against the server itself.
constexpr qint64 kMaxPendingBytes = 16 * 1024;
// libobs's stream is read from its loopback connection every kGatherMs rather than as each packet arrives:
// waking for every segment (some 150 a second at 2.5 Mbit/s) cost more than all the rest the connection does.
// The receive buffer holds what comes meanwhile at a relay's bitrates; a keyframe larger than it waits in
// libobs's send() for the next read. Answers to what the server said are read at once (the RTMP handshake and
// connect).
constexpr int kGatherMs = 40;
constexpr int kLoopbackReceiveBytes = 32 * 1024;  // the kernel doubles it
constexpr int kLibobsSendBufferBytes = 16 * 1024; // the kernel doubles it
// What the kernel holds for the server beyond what is on its way: what the uplink can't take backs up into
// libobs within a fraction of a second, where libobs connected directly kept several seconds in its buffer.
// With the loopback's receive buffer above, the connection holds about what it held reading each arrival.
constexpr int kMaxUnsentBytes = 48 * 1024;

const QString kTimedOut =
    QStringLiteral("The connection timed out. Make sure you've configured a valid streaming "
                   "service and no firewall is blocking the connection.");
const QString kReset = QStringLiteral("The connection was reset by the peer. This usually indicates internet "
                                      "connection problems between you and the streaming service.");
const QString kBadCertificate = QStringLiteral("The RTMP server sent an invalid SSL certificate.");

std::mutex threadMutex;
QThread *connectionsThread = nullptr;
QObject *threadAnchor = nullptr;  // lives on that thread: work for the thread itself goes through it
std::set<QObject *> liveSessions; // guarded by threadMutex

QThread *sessionThread() {
    const std::lock_guard lock(threadMutex);
    if (!connectionsThread) {
        connectionsThread = new QThread;
        connectionsThread->setObjectName(QStringLiteral("Orvane relay connection"));
        threadAnchor = new QObject;
        threadAnchor->moveToThread(connectionsThread);
        connectionsThread->start();
    }
    return connectionsThread;
}

// Hands each connection it accepts over as a descriptor: the relay reads libobs's side itself, when it
// chooses.
class LocalListener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr fd) override {
        if (accepted) {
            accepted(fd);
        } else {
            resetTcpOnClose(fd);
            closeSocket(fd);
        }
    }
};

// The scheme and authority of a server address as written, and the rest (its path).
std::pair<QString, QString> splitAuthority(const QString &server) {
    const int scheme = server.indexOf(QLatin1String("://"));
    const int path = scheme < 0 ? -1 : server.indexOf(QLatin1Char('/'), scheme + 3);
    return path < 0 ? std::pair(server, QString()) : std::pair(server.left(path), server.mid(path));
}

bool isSecure(const QString &server) {
    return QUrl(server).scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0;
}
} // namespace

// One connection's life on the connections' thread: look-up, connect, TLS, then what libobs sends passed on.
class RelayConnectionSession : public QObject {
public:
    RelayConnectionSession(QString server, std::shared_ptr<RelayConnection::Figures> figures,
                           RelayConnection::Report report)
        : server(std::move(server)), figures(std::move(figures)), report(std::move(report)) {
        const std::lock_guard lock(threadMutex);
        liveSessions.insert(this);
    }
    ~RelayConnectionSession() override {
        const std::lock_guard lock(threadMutex);
        liveSessions.erase(this);
    }

    void start() {
        deadline = new QTimer(this);
        poll = new QTimer(this);
        sampler = new QTimer(this);
        gather = new QTimer(this);
        gather->setSingleShot(true);
        connect(gather, &QTimer::timeout, this, [this] { gatherNow(); });
        listener = new LocalListener(this);
        listener->setMaxPendingConnections(1);
        if (!listener->listen(QHostAddress::LocalHost, 0)) {
            finish(RelayConnection::Outcome::Failed, listener->errorString());
            return;
        }
        keepLoopbackTight(listener->socketDescriptor(), kLoopbackReceiveBytes);
        figures->localPort = listener->serverPort();
        listener->accepted = [this](qintptr fd) {
            accept(fd);
        };
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this] { timedOut(); });
        connect(poll, &QTimer::timeout, this, [this] { lookedUp(); });
        connect(sampler, &QTimer::timeout, this, [this] { sample(); });
        lookup = ServerLookup::start(QUrl(server).host());
        poll->start(kLookupPollMs);
        lookedUp();
    }

    // Cuts everything at once, and goes; a graceful close first lets what libobs sent before it ended reach
    // the server (within its deadline).
    void cut(bool reset) {
        lookup.reset();
        if (listener)
            listener->close();
        if (!reset && localEnded && upstream && upstream->state() == QAbstractSocket::ConnectedState)
            return; // ends by itself once flushed
        closeLocal(true);
        abortSocket(upstream, reset);
        upstream = nullptr;
        end();
    }

private:
    // Nothing more happens; the session goes once its owner has closed it too.
    void end() {
        if (deadline) {
            gather->stop();
            deadline->stop();
            poll->stop();
            sampler->stop();
        }
        if (figures->closed)
            deleteLater();
    }

    static void abortSocket(QTcpSocket *socket, bool reset) {
        if (!socket)
            return;
        socket->disconnect();
        if (reset && socket->socketDescriptor() >= 0)
            resetTcpOnClose(socket->socketDescriptor());
        socket->abort();
    }

    void finish(RelayConnection::Outcome outcome, const QString &detail) {
        if (std::exchange(finished, true))
            return;
        post(outcome, detail);
        closeLocal(true);
        abortSocket(upstream, true);
        upstream = nullptr;
        if (listener)
            listener->close();
        end();
    }

    void post(RelayConnection::Outcome outcome, const QString &detail) {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app || figures->closed)
            return;
        QMetaObject::invokeMethod(
            app,
            [figures = figures, report = report, outcome, detail] {
                if (!figures->closed)
                    report(outcome, detail);
            },
            Qt::QueuedConnection);
    }

    void lookedUp() {
        if (!lookup || lookup->state() == ServerLookup::State::Looking)
            return;
        poll->stop();
        addresses = lookup->addresses();
        lookup.reset();
        if (addresses.isEmpty()) {
            finish(RelayConnection::Outcome::NotFound, QString());
            return;
        }
        post(RelayConnection::Outcome::NameFound, QString());
        deadline->start(kConnectDeadlineMs);
        connectNext();
    }

    // Each address the name leads to in turn, as libobs's connect did.
    void connectNext() {
        abortSocket(upstream, false);
        if (upstream)
            upstream->deleteLater();
        upstream = nullptr;
        if (nextAddress >= addresses.size()) {
            finish(RelayConnection::Outcome::Failed, lastError);
            return;
        }
        if (isSecure(server)) {
            auto *secure = new QSslSocket(this);
            secure->setPeerVerifyName(QUrl(server).host());
            connect(secure, &QSslSocket::encrypted, this, [this] { ready(); });
            connect(secure, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
                    [this](const QList<QSslError> &errors) {
                        finish(RelayConnection::Outcome::Failed,
                               kBadCertificate + (errors.isEmpty()
                                                      ? QString()
                                                      : QLatin1Char(' ') + errors.first().errorString() +
                                                            QLatin1Char('.')));
                    });
            connect(secure, &QTcpSocket::connected, secure, [secure] { secure->startClientEncryption(); });
            upstream = secure;
        } else {
            upstream = new QTcpSocket(this);
            connect(upstream, &QTcpSocket::connected, this, [this] { ready(); });
        }
        connect(upstream, &QAbstractSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) { upstreamError(error); });
        upstream->connectToHost(addresses.at(nextAddress++), relayServerPort(server));
    }

    void upstreamError(QAbstractSocket::SocketError error) {
        if (connected) {
            if (error == QAbstractSocket::RemoteHostClosedError && localEnded)
                return; // the end of a stream libobs ended
            finish(RelayConnection::Outcome::Lost,
                   error == QAbstractSocket::RemoteHostClosedError ? QString() : upstream->errorString());
            return;
        }
        if (error == QAbstractSocket::SslHandshakeFailedError) {
            finish(RelayConnection::Outcome::Failed, kBadCertificate);
            return;
        }
        lastError = error == QAbstractSocket::ConnectionRefusedError  ? QString()
                    : error == QAbstractSocket::RemoteHostClosedError ? kReset
                                                                      : upstream->errorString();
        QTimer::singleShot(0, this, [this] { connectNext(); });
    }

    void timedOut() {
        if (!connected)
            finish(RelayConnection::Outcome::Failed, kTimedOut);
        else if (localEnded)
            cut(true); // the flush took too long
    }

    void ready() {
        deadline->stop();
        connected = true;
        limitUnsentBytes(upstream->socketDescriptor(), kMaxUnsentBytes);
        applyPacing();
        sampler->start(kSampleMs);
        connect(upstream, &QIODevice::readyRead, this, [this] { pumpDown(); });
        connect(upstream, &QIODevice::bytesWritten, this, [this] {
            if (heldBack && !pumping)
                gatherNow();
        });
        connect(upstream, &QAbstractSocket::disconnected, this, [this] {
            if (localEnded)
                end();
        });
        post(RelayConnection::Outcome::Connected, QString());
    }

    void accept(qintptr fd) {
        listener->close(); // one output, one connection
        if (localFd >= 0 || !connected || !upstream) {
            resetTcpOnClose(fd);
            closeSocket(fd);
            return;
        }
        localFd = fd;
        // libobs's end of it would otherwise grow its buffer to megabytes while the server is slow, and
        // libobs would see its queue back up (and drop frames rather than send them late) seconds later than
        // it did connected to the server itself.
        capLoopbackPeerSendBuffer(localFd, kLibobsSendBufferBytes);
        const auto [localPrefix, unused] = splitAuthority(localUrl(figures->localPort));
        rewrite =
            std::make_unique<RtmpConnectRewrite>(localPrefix.toUtf8(), splitAuthority(server).first.toUtf8());
        localReadable = new QSocketNotifier(localFd, QSocketNotifier::Read, this);
        connect(localReadable, &QSocketNotifier::activated, this, [this] { libobsSent(); });
        localWritable = new QSocketNotifier(localFd, QSocketNotifier::Write, this);
        localWritable->setEnabled(false);
        connect(localWritable, &QSocketNotifier::activated, this, [this] { passDown(); });
        libobsSent();
    }

    // Something from libobs waits: read at once when libobs answers the server or has been quiet, else at the
    // next gathering.
    void libobsSent() {
        localReadable->setEnabled(false);
        const qint64 since = lastGather.isValid() ? lastGather.elapsed() : kGatherMs;
        if (since >= kGatherMs)
            gatherNow();
        else if (!gather->isActive())
            gather->start(int(kGatherMs - since));
    }

    // While libobs streams, one read every kGatherMs; once it has nothing, its next bytes are waited for.
    void gatherNow() {
        if (localFd < 0)
            return;
        lastGather.start();
        // The path is looked at with the reads while libobs streams, rather than on a wakeup of its own.
        if (sampler->remainingTime() <= kGatherMs / 2) {
            sampler->start(kSampleMs);
            sample();
        }
        // Held back by the server's side, the next read comes with its room (bytesWritten), or at the next
        // gathering should Qt have handed all it held to the kernel already.
        if (pumpUp() || heldBack)
            gather->start(kGatherMs);
        else if (localFd >= 0)
            localReadable->setEnabled(true);
    }

    // From libobs to the server, only as fast as the server takes it. Returns whether anything passed.
    bool pumpUp() {
        bool passed = false;
        heldBack = false;
        pumping = true;
        char bytes[kMaxPendingBytes];
        while (localFd >= 0 && upstream) {
            qint64 room = kMaxPendingBytes - upstream->bytesToWrite();
            if (room <= 0 && upstream->flush())
                room = kMaxPendingBytes - upstream->bytesToWrite();
            if (room <= 0) {
                heldBack = true; // read again once the server has taken some
                break;
            }
            const qint64 got = readWaitingBytes(localFd, bytes, room);
            if (got == 0)
                break;
            if (got < 0) {
                localGone();
                break;
            }
            upstream->write(rewrite->pass(QByteArray(bytes, int(got))));
            passed = true;
        }
        if (passed && upstream)
            upstream->flush();
        pumping = false;
        return passed;
    }

    void pumpDown() {
        if (localFd < 0 || !upstream)
            return;
        toLibobs += upstream->readAll();
        passDown();
        // libobs answers what the server said: its answer goes at once.
        lastGather.invalidate();
        if (!heldBack && localFd >= 0)
            localReadable->setEnabled(true);
    }

    void passDown() {
        const qint64 sent = localFd < 0 ? 0 : writeWhatFits(localFd, toLibobs.constData(), toLibobs.size());
        if (sent < 0) {
            localGone();
            return;
        }
        toLibobs.remove(0, int(sent));
        if (localFd >= 0)
            localWritable->setEnabled(!toLibobs.isEmpty());
    }

    // libobs's side goes, with a reset where it is cut rather than ended.
    void closeLocal(bool reset) {
        delete std::exchange(localReadable, nullptr);
        delete std::exchange(localWritable, nullptr);
        if (localFd >= 0) {
            if (reset)
                resetTcpOnClose(localFd);
            closeSocket(std::exchange(localFd, -1));
        }
        toLibobs.clear();
    }

    // libobs ended its stream (or lost it): what it sent goes on to the server, then the server's side
    // closes.
    void localGone() {
        closeLocal(false);
        gather->stop();
        localEnded = true;
        if (!upstream || upstream->state() != QAbstractSocket::ConnectedState) {
            end();
            return;
        }
        upstream->disconnectFromHost();
        deadline->start(kFlushDeadlineMs);
    }

    void sample() {
        applyPacing();
        if (!upstream)
            return;
        if (const auto reading = readTcpPath(upstream->socketDescriptor())) {
            figures->smoothedRttUs = reading->smoothedRttUs;
            figures->leastRttUs = reading->leastRttUs;
            figures->deliveryBytesPerSecond = reading->deliveryBytesPerSecond;
            figures->unackedBytes = reading->unackedBytes;
        }
    }

    void applyPacing() {
        const quint64 wanted = figures->pacing;
        if (upstream && wanted != appliedPacing && paceTcpPath(upstream->socketDescriptor(), wanted))
            appliedPacing = wanted;
    }

public:
    static QString localUrl(quint16 port) { return QStringLiteral("rtmp://127.0.0.1:%1").arg(port); }
    void paceNow() { applyPacing(); }
    bool uses(const std::shared_ptr<RelayConnection::Figures> &those) const { return figures == those; }

private:
    const QString server;
    const std::shared_ptr<RelayConnection::Figures> figures;
    const RelayConnection::Report report;
    LocalListener *listener = nullptr;
    QTcpSocket *upstream = nullptr;
    qintptr localFd = -1; // libobs's connection
    QSocketNotifier *localReadable = nullptr;
    QSocketNotifier *localWritable = nullptr;
    QByteArray toLibobs;
    QTimer *gather = nullptr;
    QElapsedTimer lastGather;
    bool heldBack = false; // the server's side is full: libobs's bytes wait for it
    bool pumping = false;
    std::shared_ptr<ServerLookup> lookup;
    QList<QHostAddress> addresses;
    int nextAddress = 0;
    QString lastError;
    QTimer *deadline = nullptr;
    QTimer *poll = nullptr;
    QTimer *sampler = nullptr;
    std::unique_ptr<RtmpConnectRewrite> rewrite;
    bool finished = false;
    bool connected = false;
    bool localEnded = false;
    quint64 appliedPacing = 0;
};

std::shared_ptr<RelayConnection> RelayConnection::open(const QString &server, Report report) {
    std::shared_ptr<RelayConnection> connection(new RelayConnection);
    connection->server = server;
    connection->session = new RelayConnectionSession(server, connection->figures, std::move(report));
    connection->session->moveToThread(sessionThread());
    QMetaObject::invokeMethod(
        connection->session, [session = connection->session] { session->start(); }, Qt::QueuedConnection);
    return connection;
}

RelayConnection::~RelayConnection() {
    close(true);
}

QString RelayConnection::localUrl() const {
    return RelayConnectionSession::localUrl(figures->localPort) + splitAuthority(server).second;
}

void RelayConnection::close(bool reset) {
    figures->closed = true;
    RelayConnectionSession *closing = std::exchange(session, nullptr);
    {
        const std::lock_guard lock(threadMutex);
        if (!closing || liveSessions.count(closing) == 0)
            return; // gone with the thread at the module's unload
    }
    const auto cut = [closing, reset] {
        closing->cut(reset);
    };
    if (closing->thread() == QThread::currentThread())
        cut();
    else
        QMetaObject::invokeMethod(closing, cut, Qt::BlockingQueuedConnection);
}

void RelayConnection::pace(quint64 bytesPerSecond) {
    figures->pacing = bytesPerSecond;
    // Any thread may ask (the brake's does): the connections' thread applies it at once, to the session if it
    // still lives there.
    QObject *anchor = nullptr;
    {
        const std::lock_guard lock(threadMutex);
        anchor = threadAnchor;
    }
    if (anchor)
        QMetaObject::invokeMethod(
            anchor,
            [figures = figures] {
                std::set<QObject *> live;
                {
                    const std::lock_guard lock(threadMutex);
                    live = liveSessions;
                }
                for (QObject *object : live) {
                    auto *session = static_cast<RelayConnectionSession *>(object);
                    if (session->uses(figures))
                        session->paceNow();
                }
            },
            Qt::QueuedConnection);
}

void RelayConnection::stopThread() {
    QThread *thread = nullptr;
    QObject *anchor = nullptr;
    {
        const std::lock_guard lock(threadMutex);
        thread = std::exchange(connectionsThread, nullptr);
        anchor = std::exchange(threadAnchor, nullptr);
    }
    if (!thread)
        return;
    // What still flushes to a server goes with the thread.
    QMetaObject::invokeMethod(
        anchor,
        [anchor] {
            std::set<QObject *> left;
            {
                const std::lock_guard lock(threadMutex);
                left = liveSessions;
            }
            for (QObject *session : left)
                delete session;
            delete anchor;
        },
        Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete thread;
}

quint16 relayServerPort(const QString &server) {
    const QUrl url(server);
    return quint16(url.port(isSecure(server) ? 443 : 1935));
}
