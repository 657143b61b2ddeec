// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// Writes the streaming bitrate (kbit/s) and keyframe interval (s) into the current profile; values of 0
// or below leave the stored ones alone. False with error set when refused or not saved, and in simple output
// mode for an interval OBS will not stream with there (the bitrate is still written).
bool writeEncoderSettings(int bitrate, int keyintSec, QString &error);
