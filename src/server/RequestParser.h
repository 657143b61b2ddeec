#pragma once

#include "server/HttpRequest.h"

inline constexpr qsizetype kMaxHeadBytes = 65536;
inline constexpr qint64 kMaxBodyBytes = 4194304;

// What the bytes received so far on a connection amount to.
struct ParseOutcome {
    enum Kind { NeedMore, HeadTooLarge, BadRequestLine, BodyTooLarge, Complete };
    Kind kind = NeedMore;
    HttpRequest request; // filled when kind is Complete
};

ParseOutcome parseRequest(const QByteArray &buffer);
