// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

// libobs as the test host runs it: started once per test process, with its module config path in a
// temporary folder and the module handle of an empty module file named "orvane".
namespace obshost {
QString scratchRoot();
QString moduleConfigDir(); // <scratch>/plugin_config/orvane
QString moduleBinaryDir(); // <scratch>/module: the module file, where its companion would sit
QStringList logLines();    // every line libobs logged since start
int countLogLines(const QString &line);
void clearLog();
// Program video and audio plus the modules that stream (rtmp-services, obs-outputs, obs-x264, obs-ffmpeg);
// started on first call, once per process.
void startVideoAndOutputs();
// Makes new program video at this size, as OBS does when its video settings change (640x360 at start).
// OBS_VIDEO_SUCCESS or libobs's failure code.
int resetVideo(uint32_t width, uint32_t height);
// Loads the test stand-in for OBS's browser plug-in ("obs-browser").
void loadTestBrowserModule();
} // namespace obshost
