// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Set by the build (ORVANE_DEFAULT_CLOUD_URL); "ORVANE_CLOUD_URL" overrides it at run time.
#ifndef ORVANE_DEFAULT_CLOUD_URL
#error "ORVANE_DEFAULT_CLOUD_URL must be defined by the build"
#endif

inline constexpr const char *kDefaultCloudUrl = ORVANE_DEFAULT_CLOUD_URL;

// The Orvane desktop app; "ORVANE_APP_URL" overrides it at run time.
inline constexpr const char *kDefaultAppUrl = "http://127.0.0.1:14563";
