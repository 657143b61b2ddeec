// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayConnection.h"
#include "support/RawClient.h"
#include "support/RtmpClientStart.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
struct Outcomes {
    QList<RelayConnection::Outcome> seen;
    QString detail;
    RelayConnection::Report report() {
        return [this](RelayConnection::Outcome outcome, const QString &text) {
            seen.append(outcome);
            detail = text;
        };
    }
};

// Whether the peer's side of a connection has seen it end (a reset or a close), without waiting.
bool peerSeesEnd(QTcpSocket &peer) {
    pollfd watch = {int(peer.socketDescriptor()), POLLIN | POLLRDHUP, 0};
    return poll(&watch, 1, 0) == 1 && (watch.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR));
}

// A server whose accept queue is full: the kernel drops every further SYN, so a connect never hears back.
class SynDroppingServer {
public:
    SynDroppingServer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr *>(&address), size);
        listen(listener, 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        for (int &filler : fillers) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr *>(&address), size);
            // The first one established fills the accept queue: every connect after it waits on its SYN.
            pollfd established = {filler, POLLOUT, 0};
            if (&filler == fillers)
                poll(&established, 1, 5000);
        }
    }
    ~SynDroppingServer() {
        for (int filler : fillers)
            ::close(filler);
        ::close(listener);
    }
    int listener = -1;
    int fillers[2] = {-1, -1};
    quint16 port = 0;
};

// A TLS server whose certificate names another host, trusted by this process as the system's would be.
class WrongNameTlsServer : public QTcpServer {
public:
    explicit WrongNameTlsServer(const QString &folder) {
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=wrong.example", "-keyout", folder + "/key.pem", "-out", folder + "/cert.pem"});
        openssl.waitForFinished(60000);
        certificate = QSslCertificate::fromPath(folder + "/cert.pem").value(0);
        QFile keyFile(folder + "/key.pem");
        EXPECT_TRUE(keyFile.open(QIODevice::ReadOnly));
        key = QSslKey(&keyFile, QSsl::Rsa);
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.setCaCertificates(trusted.caCertificates() << certificate);
        QSslConfiguration::setDefaultConfiguration(trusted);
        listen(QHostAddress::LocalHost);
    }
    QSslCertificate certificate;
    QSslKey key;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto *tls = new QSslSocket(this);
        tls->setSocketDescriptor(descriptor);
        tls->setLocalCertificate(certificate);
        tls->setPrivateKey(key);
        tls->startServerEncryption();
    }
};
// A server that resets every connection it accepts.
class ResettingServer : public QTcpServer {
protected:
    void incomingConnection(qintptr descriptor) override {
        const linger reset = {1, 0};
        setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(int(descriptor));
    }
};
} // namespace

// What libobs talks to: its bytes reach the server (the connect command naming the configured server), the
// server's reach libobs; a stop cuts both sides before it returns, and nothing is reported after it.
TEST(RelayConnection, CarriesLibobsStreamToTheServerAndCutsBothSidesAtOnce) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const QString configured = QStringLiteral("rtmp://localhost:%1/live").arg(server.serverPort());
    Outcomes outcomes;
    std::shared_ptr<RelayConnection> connection = RelayConnection::open(configured, outcomes.report());
    ASSERT_TRUE(
        waitUntil([&] { return outcomes.seen.size() >= 2 && server.hasPendingConnections(); }, 10000));
    EXPECT_EQ(outcomes.seen,
              (QList{RelayConnection::Outcome::NameFound, RelayConnection::Outcome::Connected}));
    QTcpSocket *peer = server.nextPendingConnection();
    EXPECT_TRUE(connection->localUrl().startsWith("rtmp://127.0.0.1:"));
    EXPECT_TRUE(connection->localUrl().endsWith("/live"));

    QTcpSocket libobs;
    libobs.connectToHost(QHostAddress::LocalHost, QUrl(connection->localUrl()).port());
    ASSERT_TRUE(libobs.waitForConnected(5000));
    const QByteArray start = rtmpClientStart(connection->localUrl().toUtf8());
    libobs.write(start + "media");
    QByteArray received;
    const QByteArray expectedUrl = configured.toUtf8();
    ASSERT_TRUE(waitUntil(
        [&] {
            received += peer->readAll();
            return received.endsWith("media");
        },
        5000));
    EXPECT_TRUE(received.contains(expectedUrl)) << received.mid(3073).constData();
    EXPECT_FALSE(received.contains("127.0.0.1"));
    peer->write("answer");
    EXPECT_TRUE(waitUntil([&] { return libobs.bytesAvailable() > 0; }, 5000));

    connection->close();
    EXPECT_TRUE(peerSeesEnd(*peer)) << "the server's side still open once close returned";
    EXPECT_TRUE(peerSeesEnd(libobs)) << "libobs's side still open once close returned";
    runEventLoopFor(200);
    EXPECT_EQ(outcomes.seen.size(), 2) << "reported after the stop";
}

// Servers that never answer, refuse, reset, go quiet after the connect or show the wrong certificate: each
// says so in plain words, or is cut the moment it is stopped, and nothing comes of it afterwards.
TEST(RelayConnection, ServersThatFailAreReportedOrCutAtOnce) {
    using Outcome = RelayConnection::Outcome;
    SynDroppingServer neverAnswers;
    QTcpServer refused;
    refused.listen(QHostAddress::LocalHost);
    const quint16 closedPort = refused.serverPort();
    refused.close();
    QTcpServer readsNothing;
    ASSERT_TRUE(readsNothing.listen(QHostAddress::LocalHost));
    ResettingServer resets;
    ASSERT_TRUE(resets.listen(QHostAddress::LocalHost));
    QTemporaryDir folder;
    WrongNameTlsServer wrongName(folder.path());
    ASSERT_FALSE(wrongName.certificate.isNull());

    struct Case {
        QString server;
        QList<Outcome> before; // what is reported before the stop
        QString detail;
    };
    const QList<Case> cases = {
        {QStringLiteral("rtmp://127.0.0.1:%1/live").arg(neverAnswers.port), {Outcome::NameFound}, {}},
        {QStringLiteral("rtmp://127.0.0.1:%1/live").arg(closedPort),
         {Outcome::NameFound, Outcome::Failed},
         {}},
        {QStringLiteral("rtmp://127.0.0.1:%1/live").arg(readsNothing.serverPort()),
         {Outcome::NameFound, Outcome::Connected},
         {}},
        {QStringLiteral("rtmp://127.0.0.1:%1/live").arg(resets.serverPort()),
         {Outcome::NameFound, Outcome::Connected, Outcome::Lost},
         {}},
        {QStringLiteral("rtmps://127.0.0.1:%1/live").arg(wrongName.serverPort()),
         {Outcome::NameFound, Outcome::Failed},
         "The RTMP server sent an invalid SSL certificate. The host name did not match any of the valid "
         "hosts "
         "for this certificate."},
        {QStringLiteral("rtmp://no-such-host.invalid/live"), {Outcome::NotFound}, {}},
    };
    for (const Case &failing : cases) {
        Outcomes outcomes;
        std::shared_ptr<RelayConnection> connection =
            RelayConnection::open(failing.server, outcomes.report());
        // One that never answers is given a while to show that nothing more comes of it.
        waitUntil([&] { return outcomes.seen.size() >= failing.before.size() && failing.before.size() > 1; },
                  failing.before.size() > 1 ? 10000 : 1500);
        EXPECT_EQ(outcomes.seen, failing.before) << failing.server.toStdString();
        EXPECT_EQ(outcomes.detail, failing.detail) << failing.server.toStdString();
        QTcpSocket libobs;
        const quint16 localPort = QUrl(connection->localUrl()).port();
        connection->close();
        runEventLoopFor(200);
        EXPECT_EQ(outcomes.seen, failing.before)
            << "reported after the stop: " << failing.server.toStdString();
        libobs.connectToHost(QHostAddress::LocalHost, localPort);
        EXPECT_FALSE(libobs.waitForConnected(1000)) << "its local port still takes libobs after the stop";
    }
}
