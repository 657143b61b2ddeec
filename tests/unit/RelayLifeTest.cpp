// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/life/RelayLife.h"

#include <gtest/gtest.h>
#include <map>
#include <utility>

namespace {
using P = RelayPhase;
using E = RelayEvent;

const P kPhases[] = {P::Off,     P::LookingUp,      P::Connecting,   P::Starting,
                     P::Sending, P::WaitingToRetry, P::SteppedAside, P::Restarting};
const E kEvents[] = {E::StreamStarted, E::StreamStopped, E::TurnedOn,  E::TurnedOff,
                     E::NameFound,     E::NameNotFound,  E::Connected, E::ConnectFailed,
                     E::OutputStarted, E::OutputFailed,  E::Lost,      E::Tick,
                     E::StepAside,     E::ShareBack,     E::Restart,   E::Exit};
constexpr long long kStart = 1'000'000;

// OBS streams, the relay is on, nothing of an old pipeline is left; the moment of the relay's last attempt.
RelayFacts live(long long now = kStart) {
    RelayFacts facts;
    facts.enabled = facts.obsStreaming = facts.oldPipelineGone = true;
    facts.nowMs = now;
    return facts;
}

// A life brought to phase the way a stream brings it there.
RelayLife lifeIn(P phase) {
    RelayLife life;
    const std::map<P, std::vector<E>> paths = {
        {P::Off, {}},
        {P::LookingUp, {E::StreamStarted}},
        {P::Connecting, {E::StreamStarted, E::NameFound}},
        {P::Starting, {E::StreamStarted, E::NameFound, E::Connected}},
        {P::Sending, {E::StreamStarted, E::NameFound, E::Connected, E::OutputStarted}},
        {P::WaitingToRetry, {E::StreamStarted, E::NameNotFound}},
        {P::SteppedAside, {E::StreamStarted, E::NameFound, E::Connected, E::OutputStarted, E::StepAside}},
        {P::Restarting, {E::StreamStarted, E::NameFound, E::Connected, E::OutputStarted, E::Restart}},
    };
    for (const E event : paths.at(phase))
        life.on(event, live());
    EXPECT_EQ(life.phase(), phase);
    return life;
}

struct Move {
    P to;
    unsigned actions;
};
} // namespace

// Every event in every phase, on a live stream: where it goes and what it asks; anything not listed leaves
// the relay where it is and asks nothing.
TEST(RelayLife, EveryEventInEveryPhase) {
    const unsigned endAttempt = kCloseConnection | kSettleError;
    std::map<std::pair<P, E>, Move> moves = {
        {{P::Off, E::StreamStarted}, {P::LookingUp, kOpenConnection}},
        {{P::Off, E::TurnedOn}, {P::LookingUp, kOpenConnection}},
        {{P::Off, E::Tick}, {P::Off, kReleaseIdle}},
        {{P::LookingUp, E::NameFound}, {P::Connecting, kNoAction}},
        {{P::Connecting, E::Connected}, {P::Starting, kStartOutput}},
        {{P::Starting, E::OutputStarted}, {P::Sending, kNoAction}},
        {{P::Sending, E::Lost}, {P::WaitingToRetry, kCloseConnection}},
        {{P::Sending, E::OutputFailed}, {P::WaitingToRetry, kCloseConnection}},
        {{P::Sending, E::StepAside}, {P::SteppedAside, kDropPipeline}},
        {{P::Sending, E::Restart}, {P::Restarting, kDropPipeline}},
        {{P::WaitingToRetry, E::TurnedOn}, {P::LookingUp, kOpenConnection}},
        {{P::SteppedAside, E::ShareBack}, {P::Restarting, kNoAction}},
        {{P::Restarting, E::Tick}, {P::LookingUp, kOpenConnection}},
    };
    for (const P attempting : {P::LookingUp, P::Connecting, P::Starting})
        for (const E failure : {E::NameNotFound, E::ConnectFailed, E::OutputFailed})
            moves[{attempting, failure}] = {P::WaitingToRetry, kCloseConnection};
    for (const P phase : kPhases) {
        if (phase == P::Off)
            continue;
        // An attempt's connection is cut; an output that was started goes with its pipeline; a stream that
        // sends ends cleanly; at exit everything goes at once.
        const unsigned stop = phase == P::Sending    ? kEndStream | kSettleError
                              : phase == P::Starting ? kDropPipeline | kSettleError
                                                     : endAttempt;
        moves[{phase, E::TurnedOff}] = moves[{phase, E::StreamStopped}] = {P::Off, stop};
        moves[{phase, E::Exit}] = {P::Off, kDropPipeline};
    }
    for (const P phase : kPhases) {
        for (const E event : kEvents) {
            RelayLife life = lifeIn(phase);
            const auto found = moves.find({phase, event});
            const Move expected = found == moves.end() ? Move{phase, kNoAction} : found->second;
            const unsigned actions = life.on(event, live());
            EXPECT_EQ(life.phase(), expected.to) << int(phase) << " on " << int(event);
            EXPECT_EQ(actions, expected.actions) << int(phase) << " on " << int(event);
        }
    }
}

// The status the page shows follows the phase: an attempt connects, a lost stream reconnects until it sends
// again, whatever failed on the way; a relay turned off is neither.
TEST(RelayLife, StatusFollowsThePhase) {
    RelayLife life = lifeIn(P::Sending);
    EXPECT_TRUE(life.sending() && life.wanted() && !life.connecting() && life.outputStarted());
    life.on(E::Lost, live());
    EXPECT_TRUE(life.reconnecting() && !life.sending() && !life.connecting());
    life.on(E::Tick, live(kStart + kRelayRetrySpacingMs));
    EXPECT_TRUE(life.connecting() && life.reconnecting());
    life.on(E::ConnectFailed, live());
    EXPECT_TRUE(life.reconnecting()) << "a failed attempt after a loss still reconnects";
    life.on(E::TurnedOn, live());
    life.on(E::NameFound, live());
    life.on(E::Connected, live());
    life.on(E::OutputStarted, live());
    EXPECT_TRUE(life.sending() && !life.reconnecting());
    life.on(E::Lost, live());
    life.on(E::TurnedOff, live());
    EXPECT_FALSE(life.wanted() || life.reconnecting() || life.connecting() || life.outputStarted());
    RelayLife ended = lifeIn(P::Sending);
    ended.on(E::StreamStopped, live());
    EXPECT_FALSE(ended.outputStarted()) << "its output went with the stream";
    EXPECT_FALSE(RelayLife().reconnecting());
    EXPECT_TRUE(lifeIn(P::SteppedAside).steppedAside());
    EXPECT_FALSE(lifeIn(P::SteppedAside).outputStarted());
    EXPECT_TRUE(lifeIn(P::Starting).outputStarted());
}

// What the moment decides: a retry waits its spacing, a new pipeline waits for the old one, nothing starts
// without OBS's stream or its setting, and nothing outlives either.
TEST(RelayLife, TheMomentDecides) {
    // "Trying again every 5 seconds", as the status says.
    RelayLife waiting = lifeIn(P::WaitingToRetry);
    EXPECT_EQ(waiting.on(E::Tick, live(kStart + 4999)), kNoAction);
    EXPECT_EQ(waiting.on(E::Tick, live(kStart + 5000)), kOpenConnection);
    EXPECT_EQ(waiting.lastAttemptMs(), kStart + 5000);
    EXPECT_EQ(waiting.on(E::Tick, live(kStart + 9999)), kNoAction) << "no new attempt";
    EXPECT_EQ(RelayLife().on(E::StreamStarted, RelayFacts()), kNoAction) << "nothing is live by default";

    RelayLife restarting = lifeIn(P::Restarting);
    RelayFacts oldStillThere = live();
    oldStillThere.oldPipelineGone = false;
    EXPECT_EQ(restarting.on(E::Tick, oldStillThere), kNoAction);
    EXPECT_EQ(restarting.phase(), P::Restarting);

    RelayFacts off = live(), notStreaming = live();
    off.enabled = false;
    notStreaming.obsStreaming = false;
    RelayLife idle;
    EXPECT_EQ(idle.on(E::StreamStarted, off), kNoAction);
    EXPECT_EQ(idle.on(E::TurnedOn, notStreaming), kNoAction);
    EXPECT_FALSE(idle.wanted());
    for (const RelayFacts &gone : {off, notStreaming}) {
        for (const P phase : kPhases) {
            if (phase == P::Off)
                continue;
            RelayLife life = lifeIn(phase);
            RelayLife stopped = lifeIn(phase);
            EXPECT_EQ(life.on(E::Tick, gone), stopped.on(E::StreamStopped, live())) << int(phase);
            EXPECT_EQ(life.phase(), P::Off) << int(phase);
        }
    }
}
