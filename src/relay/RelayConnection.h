// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHostAddress>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QThread;
class RelayConnectionSession;

// The relay's network connection, owned by the module. libobs's RTMP output does RTMP for the relay against a
// port of this connection on 127.0.0.1, and this connection holds the real one to the relay's server: the
// look-up of its name, the connect, TLS for rtmps:// (the certificate checked against the server's name), the
// sends. All of it runs on one thread of the module's own with an event loop, where every wait has a deadline
// and nothing blocks, so a stop cuts it at once: libobs, on the other side of a loopback connection that is
// cut, never waits on the network either.
class RelayConnection {
public:
    enum class Outcome {
        NameFound, // its name leads somewhere: the connect begins
        Connected, // the server is connected (over TLS where asked): libobs can start against localUrl()
        NotFound,  // its name leads nowhere
        Failed,    // refused, reset, timed out or a certificate that fails the checks
        Lost,      // the server went away after it was connected
    };
    // Raised on OBS's main thread (through the application's event loop), once per outcome, never after
    // close(). detail is in plain words; empty where there is nothing to add.
    using Report = std::function<void(Outcome, const QString &detail)>;

    // Looks up and connects to server (rtmp:// or rtmps://, as configured) at once.
    static std::shared_ptr<RelayConnection> open(const QString &server, Report report);
    ~RelayConnection();
    RelayConnection(const RelayConnection &) = delete;
    RelayConnection &operator=(const RelayConnection &) = delete;

    // The address libobs streams to: this connection's port on 127.0.0.1 with the server's path.
    QString localUrl() const;
    // Cuts both sides at once, the server's with a reset where reset is true (what its buffer holds would
    // keep the uplink busy, and its server the old session); returns once they are cut. Harmless when
    // repeated.
    void close(bool reset = true);
    // Paces what goes to the server at bytesPerSecond (0: not paced), from the connect on.
    void pace(quint64 bytesPerSecond);

    // The server's path as the kernel measures it, refreshed ten times a second while connected; 0: not
    // known.
    unsigned smoothedRttUs() const { return figures->smoothedRttUs; }
    unsigned leastRttUs() const { return figures->leastRttUs; }
    quint64 deliveryBytesPerSecond() const { return figures->deliveryBytesPerSecond; }
    quint64 unackedBytes() const { return figures->unackedBytes; }

    // Ends the connections' thread once none is left open; at the module's unload.
    static void stopThread();

    struct Figures {
        std::atomic<unsigned> smoothedRttUs{0};
        std::atomic<unsigned> leastRttUs{0};
        std::atomic<quint64> deliveryBytesPerSecond{0};
        std::atomic<quint64> unackedBytes{0};
        std::atomic<quint64> pacing{0};
        std::atomic<quint16> localPort{0};
        std::atomic<bool> closed{false};
    };

private:
    RelayConnection() = default;

    QString server;
    std::shared_ptr<Figures> figures = std::make_shared<Figures>();
    RelayConnectionSession *session = nullptr; // lives on the connections' thread until closed
};

// The TCP port of an RTMP server address: the one it names, else 1935 (443 for rtmps).
quint16 relayServerPort(const QString &server);
