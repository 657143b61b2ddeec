// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/SharedEncoders.h"

#include "core/ObsCompat.h"

#include <QLatin1String>
#include <obs-frontend-api.h>

namespace {
bool isCodec(obs_encoder_t *encoder, const char *codec) {
    const char *actual = obs_encoder_get_codec(encoder);
    return actual && qstricmp(actual, codec) == 0; // FFmpeg's AAC encoder says "AAC"
}

OBSEncoderAutoRelease holdEncoder(obs_encoder_t *encoder) {
    return OBSEncoderAutoRelease(encoder ? obs_encoder_get_ref(encoder) : nullptr);
}

// Whether encoder encodes OBS's program video as the relay's own encoder would.
bool videoEncodesLikeRelay(obs_encoder_t *encoder, int bitrate) {
    if (!encoder || obs_encoder_get_type(encoder) != OBS_ENCODER_VIDEO || !isCodec(encoder, "h264"))
        return false;

    OBSDataAutoRelease settings = obs_encoder_get_settings(encoder);
    const QLatin1String rateControl(obs_data_get_string(settings, "rate_control"));
    if (rateControl.compare(QLatin1String("CBR"), Qt::CaseInsensitive) != 0 ||
        obs_data_get_int(settings, "bitrate") != bitrate || obs_data_get_int(settings, "keyint_sec") != 2)
        return false;

    // The relay's own encoder takes OBS's video as it is: no scaling, no skipped frames.
    video_t *program = obs_get_video();
    return program && obs_encoder_video(encoder) == program && encoderFrameRateDivisor(encoder) == 1 &&
           obs_encoder_get_width(encoder) == video_output_get_width(program) &&
           obs_encoder_get_height(encoder) == video_output_get_height(program);
}
} // namespace

QString StreamEncoders::identity() const {
    if (!*this)
        return QStringLiteral("own");
    return QStringLiteral("obs:%1:%2").arg(quintptr(video.Get()), 0, 16).arg(quintptr(audio.Get()), 0, 16);
}

StreamEncoders obsStreamEncodersLikeRelay(int bitrate) {
    StreamEncoders found;
    OBSOutputAutoRelease stream = obs_frontend_get_streaming_output();
    if (!stream || !obs_output_active(stream))
        return found;
    obs_encoder_t *video = obs_output_get_video_encoder(stream);
    obs_encoder_t *audio = obs_output_get_audio_encoder(stream, 0);
    if (!videoEncodesLikeRelay(video, bitrate) || !audio || !isCodec(audio, "aac"))
        return found;
    found.video = holdEncoder(video);
    found.audio = holdEncoder(audio);
    return found;
}
