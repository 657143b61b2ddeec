// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/FlvFile.h"

#include <QFile>

namespace {
constexpr char kVideoTag = 9;
constexpr int kTagHeaderBytes = 11;
constexpr int kPreviousTagSizeBytes = 4;

quint32 bigEndian24(const char *bytes) {
    return quint32(quint8(bytes[0])) << 16 | quint32(quint8(bytes[1])) << 8 | quint8(bytes[2]);
}
} // namespace

FlvVideoStart readFlvVideoStart(const QString &path) {
    FlvVideoStart start;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return start;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 13 || !bytes.startsWith("FLV"))
        return start;
    start.readable = true;

    bool seenSequenceHeader = false;
    qsizetype at = 9 + kPreviousTagSizeBytes;
    while (at + kTagHeaderBytes <= bytes.size()) {
        const char *tag = bytes.constData() + at;
        const quint32 dataSize = bigEndian24(tag + 1);
        const qsizetype dataAt = at + kTagHeaderBytes;
        if (dataAt + qsizetype(dataSize) > bytes.size())
            break;
        if (tag[0] == kVideoTag && dataSize >= 2) {
            // First data byte: frame type (1 = keyframe) and codec; second: AVC packet type (0 =
            // configuration).
            const quint8 frameType = quint8(bytes.constData()[dataAt]) >> 4;
            const quint8 avcPacketType = quint8(bytes.constData()[dataAt + 1]);
            if (avcPacketType == 0) {
                seenSequenceHeader = true;
            } else if (avcPacketType == 1) {
                if (start.videoFrames == 0) {
                    start.sequenceHeaderFirst = seenSequenceHeader;
                    start.firstFrameIsKeyframe = frameType == 1;
                }
                ++start.videoFrames;
            }
        }
        at = dataAt + dataSize + kPreviousTagSizeBytes;
    }
    return start;
}
