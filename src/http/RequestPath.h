// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <optional>

// A request path as the far side will read it: percent-decoded, with every run of "/" made one.
// Empty when a decoded segment is "." or "..", or the decoded path holds a backslash or a control
// character: such a path could reach somewhere else than the one that was checked.
std::optional<QByteArray> normalisedPath(const QByteArray &rawPath);
