// SPDX-License-Identifier: GPL-2.0-or-later
#include "http/ResponseWriter.h"
#include "support/RawClient.h"

#include <gtest/gtest.h>

TEST(ResponseWriter, WritesTheOneResponseShape) {
    EXPECT_EQ(responseBytes(404, "text/plain", "Not found"), QByteArray("HTTP/1.1 404 Not Found\r\n"
                                                                        "Content-Type: text/plain\r\n"
                                                                        "Content-Length: 9\r\n"
                                                                        "Cache-Control: no-store\r\n"
                                                                        "X-Content-Type-Options: nosniff\r\n"
                                                                        "Referrer-Policy: no-referrer\r\n"
                                                                        "Connection: close\r\n"
                                                                        "\r\n"
                                                                        "Not found"));
    EXPECT_TRUE(responseBytes(204, "text/plain", "")
                    .endsWith("Content-Length: 0\r\nCache-Control: no-store\r\n"
                              "X-Content-Type-Options: nosniff\r\n"
                              "Referrer-Policy: no-referrer\r\n"
                              "Connection: close\r\n\r\n"));
    // Lengths count bytes, not characters.
    EXPECT_TRUE(responseBytes(200, "text/plain", "d\xC3\xA9j\xC3\xA0").contains("Content-Length: 6\r\n"));
}

TEST(ResponseWriter, UnlistedStatusesGetTheGenericPhrase) {
    EXPECT_TRUE(responseBytes(418, "text/plain", "").startsWith("HTTP/1.1 418 Status\r\n"));
    EXPECT_TRUE(responseBytes(500, "text/plain", "").startsWith("HTTP/1.1 500 Status\r\n"));
    EXPECT_TRUE(
        responseBytes(431, "text/plain", "").startsWith("HTTP/1.1 431 Request Header Fields Too Large\r\n"));
}

TEST(ResponseWriter, JsonObjectsAreCompactAndSorted) {
    EXPECT_EQ(compactJson(errorObject("Use POST.")), "{\"error\":\"Use POST.\"}");
    EXPECT_EQ(compactJson(okObject()), "{\"ok\":true}");
    QJsonObject extended = errorObject("Couldn't reach the app.");
    extended.insert("detail", "refused");
    EXPECT_EQ(compactJson(extended), "{\"detail\":\"refused\",\"error\":\"Couldn't reach the app.\"}");
}
