// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The relay's life: which phase it is in, and which event moves it where. The one place that decides; the
// rest of the relay carries out what it says (the actions) and reports what happened (the events). Pure: no
// libobs, no Qt, no clock of its own.

enum class RelayPhase {
    Off,            // not wanted: OBS is not streaming, or the relay is turned off
    LookingUp,      // an attempt: its connection looks the server's name up
    Connecting,     // ... connects to the server (and TLS)
    Starting,       // ... libobs's output starts against the connection (RTMP's handshake and publish)
    Sending,        // the relay's stream is on its server
    WaitingToRetry, // an attempt failed, or the stream was lost: the next in a few seconds
    SteppedAside,   // not even the relay's lowest rate fits beside OBS's stream on the uplink
    Restarting,     // a new pipeline takes over once the old one is gone
};

enum class RelayEvent {
    StreamStarted, // OBS's stream started
    StreamStopped, // OBS's stream is stopping, or stopped
    TurnedOn,      // the streamer turned the relay on, or changed its settings while it is on
    TurnedOff,
    NameFound,
    NameNotFound,
    Connected,     // the connection reached the server
    ConnectFailed, // refused, reset, timed out, or a certificate that fails its checks
    OutputStarted, // libobs's output sends
    OutputFailed,  // libobs's output could not start, or stopped with an error before it sent
    Lost,          // libobs's output lost the stream it was sending
    Tick,          // once a second
    StepAside,     // the uplink's share: not even the lowest rate fits
    ShareBack,     // the uplink's share: room again
    Restart,       // the relay moves to other encoders: a new pipeline
    Exit,          // OBS is closing
};

// What an event leaves to the rest of the relay, as bits.
enum RelayAction : unsigned {
    kNoAction = 0,
    kOpenConnection =
        1u << 0,             // an attempt: the pipeline (built if need be) and a new connection to the server
    kStartOutput = 1u << 1,  // start libobs's output against the connection
    kEndStream = 1u << 2,    // release the pipeline, a stream that sends ending cleanly at its server first
    kDropPipeline = 1u << 3, // release the pipeline at once, its connection reset
    kCloseConnection = 1u << 4, // cut the attempt's connection, keeping the pipeline
    kSettleError = 1u << 5,     // the error stays, no longer saying that it is tried again
    kReleaseIdle = 1u << 6,     // a pipeline kept while off lets go of encoders that are OBS's
};

// What the event's moment is like, as the rest of the relay sees it.
struct RelayFacts {
    bool enabled = false;        // the relay is turned on, with a server and a key
    bool obsStreaming = false;   // OBS's stream is live
    bool oldPipelineGone = true; // nothing of a pipeline the relay let go of is left
    long long nowMs = 0;
};

inline constexpr long long kRelayRetrySpacingMs = 5000;

class RelayLife {
public:
    // Moves on event and returns what the rest of the relay must do, RelayAction bits.
    unsigned on(RelayEvent event, const RelayFacts &facts);

    RelayPhase phase() const { return current; }
    bool wanted() const { return current != RelayPhase::Off; }
    bool connecting() const {
        return current == RelayPhase::LookingUp || current == RelayPhase::Connecting ||
               current == RelayPhase::Starting;
    }
    bool sending() const { return current == RelayPhase::Sending; }
    // It lost a stream it was sending and has not sent since.
    bool reconnecting() const { return afterLoss; }
    bool steppedAside() const { return current == RelayPhase::SteppedAside; }
    // libobs's output was started since the pipeline was made: letting go of it stops it.
    bool outputStarted() const { return started; }
    long long lastAttemptMs() const { return lastAttempt; }

private:
    unsigned attempt(const RelayFacts &facts);
    unsigned stop(unsigned actionWhenSending);
    unsigned whileAttempting(RelayEvent event, const RelayFacts &facts);
    unsigned whileWaiting(RelayEvent event, const RelayFacts &facts);

    RelayPhase current = RelayPhase::Off;
    bool afterLoss = false;
    bool started = false;
    long long lastAttempt = 0;
};
