// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <vector>

struct VideoEncoderCandidate {
    QString id;
    QString label;
};

// The relay's video encoders, best first; the last one (x264) runs everywhere.
std::vector<VideoEncoderCandidate> relayVideoEncoderCandidates();

// libobs hands back a placeholder for an id no module registered, so availability is judged by the
// registered types, the way OBS's own settings do.
bool isRegisteredEncoder(const char *id);
bool isRegisteredOutput(const char *id);
