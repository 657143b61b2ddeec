// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "http/JsonWriter.h"

#include <QString>
#include <util/config-file.h>

// OBS's state as the dock page sees it, as one JSON object: version, phase, rate, output health, service,
// video, encoder.
void writeStateReport(JsonWriter &json);

// True when the profile's output mode is "Advanced" (any letter case).
bool isAdvancedOutput(config_t *profile);

// The current profile's streaming encoder settings file.
QString streamEncoderPath();

// "hevc", "av1" or "h264", from a simple-mode encoder id.
QString simpleCodecName(const QString &encoderId);
