// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/RequestParser.h"

#include <gtest/gtest.h>

namespace {
ParseOutcome parse(const QByteArray &bytes) {
    return parseRequest(bytes);
}
} // namespace

TEST(RequestParser, CompleteHeadWithoutBodyIsReadyAtOnce) {
    const ParseOutcome outcome =
        parse("GET /assets/app.js?v=2&x=? HTTP/1.1\r\nHost: 127.0.0.1:14590\r\n\r\n");
    ASSERT_EQ(outcome.kind, ParseOutcome::Complete);
    EXPECT_EQ(outcome.request.method, "GET");
    EXPECT_EQ(outcome.request.path, "/assets/app.js");
    EXPECT_EQ(outcome.request.query, "v=2&x=?");
    EXPECT_EQ(outcome.request.headers.value("host"), "127.0.0.1:14590");
    EXPECT_TRUE(outcome.request.body.isEmpty());

    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: x\r\n").kind, ParseOutcome::NeedMore);
}

TEST(RequestParser, HeaderLinesAreNormalisedAndLastOneWins) {
    const ParseOutcome outcome = parse("POST /x HTTP/1.1\n"
                                       "Host: a\n"
                                       "  Content-Type :  Text/Plain  \n"
                                       ": colon first\n"
                                       "no colon at all\n"
                                       "host: b\r\n\r\n");
    ASSERT_EQ(outcome.kind, ParseOutcome::Complete);
    EXPECT_EQ(outcome.request.headers.value("host"), "b");
    EXPECT_EQ(outcome.request.headers.value("content-type"), "Text/Plain");
    EXPECT_EQ(outcome.request.headers.size(), 2);
    // Only ASCII letters are lower-cased in names.
    EXPECT_TRUE(parse("GET / HTTP/1.1\r\nX-\xC3\x89T\xC3\x89: 1\r\n\r\n")
                    .request.headers.contains("x-\xC3\x89t\xC3\x89"));
}

TEST(RequestParser, RequestLineNeedsTwoWordsButKeepsEmptyOnes) {
    EXPECT_EQ(parse("GET\r\nHost: a\r\n\r\n").kind, ParseOutcome::BadRequestLine);
    EXPECT_EQ(parse("\r\nHost: a\r\n\r\n").kind, ParseOutcome::BadRequestLine);

    const ParseOutcome twoSpaces = parse("GET  /x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(twoSpaces.kind, ParseOutcome::Complete);
    EXPECT_EQ(twoSpaces.request.path, "");
    EXPECT_EQ(parse("GET /x\r\n\r\n").request.path, "/x");
}

TEST(RequestParser, HeadLimitAppliesOnlyWithoutHeadEnd) {
    QByteArray head = "GET / HTTP/1.1\r\nX-Fill: ";
    head += QByteArray(int(kMaxHeadBytes) - head.size(), 'a');
    ASSERT_EQ(head.size(), kMaxHeadBytes);
    EXPECT_EQ(parse(head).kind, ParseOutcome::NeedMore);
    EXPECT_EQ(parse(head + "a").kind, ParseOutcome::HeadTooLarge);
    // The same oversized head is fine once its end is there.
    EXPECT_EQ(parse(head + "a\r\n\r\n").kind, ParseOutcome::Complete);
    // Bare "\n" line ends never end a head.
    EXPECT_EQ(parse("GET / HTTP/1.1\nHost: a\n\n").kind, ParseOutcome::NeedMore);
}

TEST(RequestParser, BodyFollowsContentLengthWithinLimit) {
    const QByteArray head = "POST /bridge/x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(parse(head + "abc").kind, ParseOutcome::NeedMore);
    const ParseOutcome complete = parse(head + "abcdeEXTRA");
    ASSERT_EQ(complete.kind, ParseOutcome::Complete);
    EXPECT_EQ(complete.request.body, "abcde");

    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 4194304\r\n\r\n").kind, ParseOutcome::NeedMore);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 4194305\r\n\r\n").kind, ParseOutcome::BodyTooLarge);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n").kind, ParseOutcome::BodyTooLarge);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n").kind,
              ParseOutcome::Complete); // unparsable: counts as 0

    const ParseOutcome notANumber = parse("POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\nignored");
    ASSERT_EQ(notANumber.kind, ParseOutcome::Complete);
    EXPECT_TRUE(notANumber.request.body.isEmpty());
}
