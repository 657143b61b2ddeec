// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/life/RelayLife.h"

unsigned RelayLife::attempt(const RelayFacts &facts) {
    current = RelayPhase::LookingUp;
    lastAttempt = facts.nowMs;
    return kOpenConnection;
}

// Whatever the relay was doing ends: a stream it sends ends as actionWhenSending says, an output it started
// goes with its pipeline, an attempt's connection is cut.
unsigned RelayLife::stop(unsigned actionWhenSending) {
    const RelayPhase was = current;
    current = RelayPhase::Off;
    afterLoss = false;
    if (was == RelayPhase::Sending) {
        started = false;
        return actionWhenSending | kSettleError;
    }
    if (started) {
        started = false;
        return kDropPipeline | kSettleError;
    }
    return kCloseConnection | kSettleError;
}

unsigned RelayLife::whileAttempting(RelayEvent event, const RelayFacts &) {
    switch (event) {
    case RelayEvent::NameFound:
        if (current == RelayPhase::LookingUp)
            current = RelayPhase::Connecting;
        return kNoAction;
    case RelayEvent::Connected:
        if (current != RelayPhase::Connecting)
            return kNoAction;
        current = RelayPhase::Starting;
        started = true;
        return kStartOutput;
    case RelayEvent::OutputStarted:
        if (current != RelayPhase::Starting)
            return kNoAction;
        current = RelayPhase::Sending;
        afterLoss = false;
        return kNoAction;
    case RelayEvent::NameNotFound:
    case RelayEvent::ConnectFailed:
    case RelayEvent::OutputFailed:
        current = RelayPhase::WaitingToRetry;
        return kCloseConnection;
    default:
        return kNoAction;
    }
}

unsigned RelayLife::whileWaiting(RelayEvent event, const RelayFacts &facts) {
    switch (event) {
    case RelayEvent::TurnedOn: // new settings are tried at once
        return current == RelayPhase::WaitingToRetry ? attempt(facts) : kNoAction;
    case RelayEvent::ShareBack:
        if (current == RelayPhase::SteppedAside)
            current = RelayPhase::Restarting;
        return kNoAction;
    case RelayEvent::Tick:
        if (current == RelayPhase::WaitingToRetry && facts.nowMs - lastAttempt >= kRelayRetrySpacingMs)
            return attempt(facts);
        if (current == RelayPhase::Restarting && facts.oldPipelineGone)
            return attempt(facts);
        return kNoAction;
    default:
        return kNoAction;
    }
}

unsigned RelayLife::on(RelayEvent event, const RelayFacts &facts) {
    if (current == RelayPhase::Off) {
        const bool starts = (event == RelayEvent::StreamStarted && facts.enabled) ||
                            (event == RelayEvent::TurnedOn && facts.obsStreaming);
        if (starts)
            return attempt(facts);
        return event == RelayEvent::Tick ? kReleaseIdle : kNoAction;
    }
    switch (event) {
    case RelayEvent::Exit:
        stop(kDropPipeline);
        return kDropPipeline;
    case RelayEvent::TurnedOff:
    case RelayEvent::StreamStopped:
        return stop(kEndStream);
    default:
        break;
    }
    // A relay never outlives OBS's stream, nor its own setting, however their ends reached it.
    if (event == RelayEvent::Tick && (!facts.obsStreaming || !facts.enabled))
        return stop(kEndStream);
    switch (current) {
    case RelayPhase::LookingUp:
    case RelayPhase::Connecting:
    case RelayPhase::Starting:
        return whileAttempting(event, facts);
    case RelayPhase::Sending:
        switch (event) {
        case RelayEvent::Lost:
        case RelayEvent::OutputFailed:
            current = RelayPhase::WaitingToRetry;
            afterLoss = true;
            return kCloseConnection;
        case RelayEvent::StepAside:
            current = RelayPhase::SteppedAside;
            started = false;
            return kDropPipeline;
        case RelayEvent::Restart:
            current = RelayPhase::Restarting;
            started = false;
            return kDropPipeline;
        default:
            return kNoAction;
        }
    default:
        return whileWaiting(event, facts);
    }
}
