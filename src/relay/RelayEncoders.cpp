// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/RelayEncoders.h"

#include <cstring>
#include <obs.h>

std::vector<VideoEncoderCandidate> relayVideoEncoderCandidates() {
    return {
        {QStringLiteral("obs_nvenc_h264_tex"), QStringLiteral("NVIDIA NVENC")},
        {QStringLiteral("jim_nvenc"), QStringLiteral("NVIDIA NVENC")},
        {QStringLiteral("h264_texture_amf"), QStringLiteral("AMD")},
        {QStringLiteral("obs_qsv11_v2"), QStringLiteral("Intel Quick Sync")},
        {QStringLiteral("obs_qsv11"), QStringLiteral("Intel Quick Sync")},
        {QStringLiteral("com.apple.videotoolbox.videoencoder.ave.avc"), QStringLiteral("Apple VideoToolbox")},
        {QStringLiteral("obs_x264"), QStringLiteral("x264 (CPU)")},
    };
}

namespace {
template <typename Enumerate> bool isListed(const char *id, Enumerate enumerate) {
    const char *registered = nullptr;
    for (size_t index = 0; enumerate(index, &registered); ++index) {
        if (registered && std::strcmp(registered, id) == 0)
            return true;
    }
    return false;
}
} // namespace

bool isRegisteredEncoder(const char *id) {
    return isListed(id, obs_enum_encoder_types);
}

bool isRegisteredOutput(const char *id) {
    return isListed(id, obs_enum_output_types);
}
