// SPDX-License-Identifier: GPL-2.0-or-later
// What happens to the relay, handed to its life (relay/life), and what the life decides, carried out.
#include "core/Log.h"
#include "core/WallClock.h"
#include "relay/Relay.h"
#include "relay/RelayStopper.h"

#include <obs-frontend-api.h>

namespace {
// Where an attempt's connection got to, on OBS's main thread; nothing once the relay has moved on.
void onConnectionOutcome(RelayState &relay, RelayConnection::Outcome outcome, const QString &detail) {
    switch (outcome) {
    case RelayConnection::Outcome::NameFound:
        relayEvent(RelayEvent::NameFound);
        return;
    case RelayConnection::Outcome::Connected:
        relayEvent(RelayEvent::Connected);
        return;
    case RelayConnection::Outcome::Lost:
        if (relay.life.phase() != RelayPhase::Connecting)
            return; // libobs's output reports the stream it lost, or the start it could not make
        break;
    case RelayConnection::Outcome::NotFound:
    case RelayConnection::Outcome::Failed:
        break;
    }
    relay.error = relayStopMessage(OBS_OUTPUT_CONNECT_FAILED);
    if (outcome == RelayConnection::Outcome::NotFound)
        relay.error += QStringLiteral(" Its server's name can't be looked up.");
    else if (!detail.isEmpty())
        relay.error += QLatin1Char(' ') + detail;
    relay.error += relayRetrySuffix();
    logMessage(LOG_WARNING, "Orvane output couldn't connect: %s", relay.error.toUtf8().constData());
    relayEvent(outcome == RelayConnection::Outcome::NotFound ? RelayEvent::NameNotFound
                                                             : RelayEvent::ConnectFailed);
}

void openConnection(RelayState &relay) {
    if (!prepareRelayPipeline(relay)) {
        relayEvent(RelayEvent::ConnectFailed); // the build said why
        return;
    }
    openRelayConnection(relay, [link = std::weak_ptr<RelayLink>(relay.link)](RelayConnection::Outcome outcome,
                                                                             const QString &detail) {
        const RelayCall call;
        RelayState &relay = moduleRelay();
        if (relay.link && relay.link == link.lock())
            onConnectionOutcome(relay, outcome, detail);
    });
}

void carryOut(RelayState &relay, unsigned actions) {
    if (actions & kSettleError)
        settleRelayError(relay);
    if (actions & kCloseConnection)
        closeRelayConnection(relay);
    if (actions & kEndStream)
        releaseRelayPipeline(true);
    if (actions & kDropPipeline)
        // A connection reset rather than closed: what its paced socket still holds would keep the uplink
        // busy, and its server would keep the old session (and refuse a new one) for seconds.
        releaseRelayPipeline(false);
    if ((actions & kReleaseIdle) && relay.sharesObsEncoders && !obs_output_active(relay.output))
        // OBS may replace or drop its encoders between streams: a stopped relay does not keep them alive.
        releaseRelayPipeline();
    if (actions & kOpenConnection)
        openConnection(relay);
    if ((actions & kStartOutput) && !startRelayOutput(relay))
        relayEvent(RelayEvent::OutputFailed);
}
} // namespace

namespace {
void applyRelayEvent(RelayState &relay, RelayEvent event) {
    RelayFacts facts;
    facts.enabled = relay.enabled;
    // Asked only where it decides: OBS's front-end is gone once OBS is closing.
    facts.obsStreaming =
        (event == RelayEvent::TurnedOn || event == RelayEvent::Tick) && obs_frontend_streaming_active();
    facts.oldPipelineGone = retiredRelaysReleased();
    facts.nowMs = wallClockMs();
    const bool wasWanted = relay.life.wanted();
    const unsigned actions = relay.life.on(event, facts);
    if (wasWanted && !relay.life.wanted())
        forgetRelayShare(relay);
    carryOut(relay, actions);
}
} // namespace

void relayEvent(RelayEvent event) {
    const RelayCall call;
    applyRelayEvent(moduleRelay(), event);
}

bool startRelay() {
    relayEvent(RelayEvent::TurnedOn);
    const RelayState &relay = moduleRelay();
    return relay.life.connecting() || relay.life.sending();
}

void stopRelay() {
    relayEvent(RelayEvent::TurnedOff);
}

void relayOnFrontendEvent(enum obs_frontend_event event) {
    if (event == OBS_FRONTEND_EVENT_STREAMING_STARTED)
        relayEvent(RelayEvent::StreamStarted);
    else if (event == OBS_FRONTEND_EVENT_STREAMING_STOPPING || event == OBS_FRONTEND_EVENT_STREAMING_STOPPED)
        relayEvent(RelayEvent::StreamStopped);
}

void shutdownRelay() {
    RelayState &relay = moduleRelay();
    // Their threads never outlive the module's code.
    relay.brake->stop();
    finishSavingRelaySettings();
    // Exit can arrive from inside a relay call, which still uses the pipeline.
    if (relay.callDepth > 0) {
        relay.releaseWhenIdle = true;
        return;
    }
    applyRelayEvent(relay, RelayEvent::Exit);
    releaseRelayPipeline(false); // a pipeline kept while off goes too
    // Nothing of the relay's runs on once libobs shuts down; none of it waits on the network.
    finishRetiredRelays();
    RelayConnection::stopThread();
}
