// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The plug-in's own version: load log line, user agent, page config, relay client tag.
// Set by the build from the project's one version (CMake's project version).
#ifndef ORVANE_VERSION
#error "ORVANE_VERSION must be defined by the build"
#endif
inline constexpr const char *kModuleVersion = ORVANE_VERSION;
