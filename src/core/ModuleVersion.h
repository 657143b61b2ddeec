#pragma once

// The plug-in's own version: load log line, user agent, page config, relay client tag.
inline constexpr const char *kModuleVersion = "1.0.0";
