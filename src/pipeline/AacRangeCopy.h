#pragma once

#include <QString>

// Copies a time range of an M4A's AAC audio into a new M4A without decoding
// it: the packets of the range, one packet before it that the decoder needs
// to settle, and an edit list that hides that packet's samples and the end of
// the last one. A generation of lossy coding is saved, and most of the cost.
namespace AacRangeCopy {

// False, writing nothing, when the source's audio cannot be copied (another
// codec or container, an AAC profile with state across more than one frame,
// more than maxChannels channels). Throws FFmpeg::Error when reading or
// writing fails.
bool copy(const QString& source, const QString& path, double audioStart, double audioEnd, int maxChannels);

} // namespace AacRangeCopy
