// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/Relay.h"

#include <gtest/gtest.h>

TEST(RelayStatus, StopCodesBecomeSentences) {
    EXPECT_EQ(relayStopMessage(-1), "The Orvane address is wrong.");
    EXPECT_EQ(relayStopMessage(-2), "Couldn't reach Orvane.");
    EXPECT_EQ(relayStopMessage(-6), "This encoder can't be used for the Orvane output.");
    EXPECT_EQ(relayStopMessage(-7), "The Orvane output stopped (code -7).");
    EXPECT_EQ(relayStopMessage(-8), "The encoder failed.");
    EXPECT_EQ(relayStopMessage(-9223372036854775807LL - 1),
              "The Orvane output stopped (code -9223372036854775808).");
}

TEST(RelayStatus, StatusShowsStartTimeOnlyWhileSendingAndNeverTheKey) {
    RelayState &relay = moduleRelay();
    relay.enabled = true;
    relay.server = "rtmp://s/live";
    relay.key = "secret";
    relay.startedAtMs = 1700000000123;
    relay.bitrate = 2500;
    const QJsonObject idle = relayStatusJson();
    EXPECT_EQ(idle.value("startedAt").toDouble(), 0.0);
    EXPECT_EQ(idle.value("sendingBitrate").toInt(), 2500);
    EXPECT_FALSE(idle.value("steppedAside").toBool());
    EXPECT_FALSE(idle.contains("key"));

    RelayFacts live;
    live.enabled = live.obsStreaming = true;
    for (const RelayEvent event :
         {RelayEvent::StreamStarted, RelayEvent::NameFound, RelayEvent::Connected, RelayEvent::OutputStarted})
        relay.life.on(event, live);
    EXPECT_EQ(relayStatusJson().value("startedAt").toDouble(), 1700000000123.0);
    // Aside while the stream goes on: it sends nothing, and says so.
    relay.life.on(RelayEvent::StepAside, live);
    relay.share.aside = true;
    EXPECT_TRUE(relayStatusJson().value("steppedAside").toBool());
    EXPECT_EQ(relayStatusJson().value("sendingBitrate").toInt(), 0);
    EXPECT_EQ(relayStatusJson().value("startedAt").toDouble(), 0.0);
    relay = RelayState();
}
