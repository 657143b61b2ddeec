// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>
#include <cmath>

// Kilobits per second for bytes sent over elapsedMs, truncated toward zero.
inline int rateKbps(quint64 bytes, qint64 elapsedMs) {
    // Bits per millisecond are kilobits per second.
    return int(double(bytes) * 8.0 / double(elapsedMs));
}

// An output's send rate, from its byte count sampled once a second.
struct SendRate {
    quint64 lastTotalBytes = 0;
    qint64 lastSampleMs = 0; // 0: no previous sample
    int kbps = 0;

    // Samples the count at now (ms); a count that went backwards, or a clock that did not advance, only sets
    // a new base. Returns whether the count grew since the last sample.
    bool sample(quint64 bytes, qint64 now) {
        const bool grew = lastSampleMs != 0 && bytes > lastTotalBytes;
        if (lastSampleMs != 0 && now > lastSampleMs && bytes >= lastTotalBytes)
            kbps = rateKbps(bytes - lastTotalBytes, now - lastSampleMs);
        lastTotalBytes = bytes;
        lastSampleMs = now;
        return grew;
    }
    void reset() { *this = SendRate(); }
};

// libobs's congestion can be 0/0; the state never holds null, which is how JSON has to say NaN.
inline double finiteOrZero(double value) {
    return std::isfinite(value) ? value : 0.0;
}
