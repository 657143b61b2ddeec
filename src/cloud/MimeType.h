// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

// The Content-Type of a dock page file, from the end of its path (case-sensitive).
QByteArray mimeTypeForPath(const QByteArray &pagePath);
