// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <obs.hpp>

// OBS's own streaming encoders, held while the relay sends with them.
struct StreamEncoders {
    OBSEncoderAutoRelease video;
    OBSEncoderAutoRelease audio;

    explicit operator bool() const { return video && audio; }
    // Tells one pair of encoders from another (and from none) in the pipeline's signature.
    QString identity() const;
};

// The encoders of OBS's running stream when they make exactly the stream the relay would make itself
// (H.264, CBR at the relay's bitrate, a keyframe every 2 s, OBS's video at full size and frame rate, AAC
// audio); empty otherwise, and when OBS is not streaming.
StreamEncoders obsStreamEncodersLikeRelay(int bitrate);
