#pragma once

#include <QByteArray>

// The Content-Type of a dock page file, from the end of its path (case-sensitive).
QByteArray mimeTypeForPath(const QByteArray &pagePath);
