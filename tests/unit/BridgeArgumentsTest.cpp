// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge/BridgeArguments.h"
#include "bridge/StateReport.h"
#include "bridge/StreamTracker.h"

#include <gtest/gtest.h>

TEST(BridgeArguments, OnlyValuesOfTheRightJsonTypeCount) {
    const QJsonObject args = bridgeArguments(R"({"s": "text", "digits": "42", "n": 42, "big": 2147483648,
        "low": -2147483648, "frac": 1.5, "t": true, "null": null, "whole": 3.0})");
    EXPECT_EQ(stringArgument(args, "s"), "text");
    EXPECT_EQ(stringArgument(args, "n"), "");
    EXPECT_EQ(stringArgument(args, "missing"), "");
    EXPECT_EQ(integerArgument(args, "n", 7), 42);
    EXPECT_EQ(integerArgument(args, "whole", 7), 3);
    EXPECT_EQ(integerArgument(args, "low", 7), -2147483647 - 1);
    for (const char *name : {"digits", "big", "frac", "t", "null", "missing"})
        EXPECT_EQ(integerArgument(args, name, 7), 7) << name;
    EXPECT_TRUE(booleanArgument(args, "t", false));
    EXPECT_FALSE(booleanArgument(args, "n", false));

    for (const QByteArray &body :
         {QByteArray(), QByteArray("nope"), QByteArray("[1]"), QByteArray("{\"a\":")})
        EXPECT_TRUE(bridgeArguments(body).isEmpty()) << body.constData();
}

TEST(BridgeArguments, RatesAndCodecNames) {
    EXPECT_EQ(rateKbps(250000, 1000), 2000);
    EXPECT_EQ(rateKbps(249987, 1000), 1999); // 1999.896: truncated, not rounded
    EXPECT_EQ(simpleCodecName("jim_HEVC_nvenc"), "hevc");
    EXPECT_EQ(simpleCodecName("ffmpeg_h265"), "hevc");
    EXPECT_EQ(simpleCodecName("svt_av1"), "av1");
    EXPECT_EQ(simpleCodecName("obs_x264"), "h264");
    EXPECT_EQ(simpleCodecName(""), "h264");
}
