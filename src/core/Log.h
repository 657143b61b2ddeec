// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#if defined(__GNUC__)
#define ORVANE_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORVANE_PRINTF_FORMAT(fmt, args)
#endif

// Writes one line to OBS's log, prefixed with "[orvane] ". Levels are libobs's (LOG_WARNING, LOG_INFO, ...).
void logMessage(int level, const char *format, ...) ORVANE_PRINTF_FORMAT(2, 3);
