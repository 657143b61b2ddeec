// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// How the video of a recorded FLV file begins: a player can start decoding only at an H.264 keyframe.
struct FlvVideoStart {
    bool readable = false;            // an FLV header was found
    bool sequenceHeaderFirst = false; // the decoder configuration came before any frame
    bool firstFrameIsKeyframe = false;
    int videoFrames = 0;
};

FlvVideoStart readFlvVideoStart(const QString &path);
