// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "http/HttpRequest.h"

inline constexpr qsizetype kMaxHeadBytes = 65536;
inline constexpr qint64 kMaxBodyBytes = 4194304;

// What the bytes received so far on a connection amount to.
struct ParseOutcome {
    enum Kind { NeedMore, HeadTooLarge, BadRequestLine, BodyTooLarge, Complete };
    Kind kind = NeedMore;
    HttpRequest request; // filled when kind is Complete
};

// Where the head of buffer ends ("\r\n\r\n"), searching from searchFrom on; -1 while it has not arrived.
qsizetype findHeadEnd(const QByteArray &buffer, qsizetype searchFrom = 0);

// A complete head: the request without its body, and how long the body is.
struct ParsedHead {
    ParseOutcome::Kind kind = ParseOutcome::Complete; // BadRequestLine, BodyTooLarge or Complete
    HttpRequest request;
    qint64 bodyLength = 0;
};

// Parses the head in front of headEnd (as findHeadEnd gave it). Control characters other than tab in the
// request line or a header line make it a bad request.
ParsedHead parseHead(const QByteArray &buffer, qsizetype headEnd);

// The whole request in buffer, or what is still missing or wrong with it.
ParseOutcome parseRequest(const QByteArray &buffer);
