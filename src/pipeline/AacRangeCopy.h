#pragma once

#include <QString>

#include <cstdint>

struct AVFormatContext;

// Copies a time range of an M4A's AAC audio into a new M4A without decoding
// it: the packets of the range, one packet before it that the decoder needs
// to settle, and an edit list that hides that packet's samples and the end of
// the last one. A generation of lossy coding is saved, and most of the cost.
namespace AacRangeCopy {

// Low-complexity AAC in MP4, of at most maxChannels channels: it carries no
// state from frame to frame beyond the overlap with the one before, which the
// preroll packet supplies, and its decoder configuration travels in the
// container's header, not in the packets.
bool copyable(const AVFormatContext& input, int streamIndex, int maxChannels);

// Copies the range of a copyable stream from the demuxer, which is left
// wherever the copy stopped reading. False when its packets are damaged: the
// file at path is then incomplete, and the demuxer best opened afresh. Throws
// FFmpeg::Error when reading or writing fails.
bool copy(AVFormatContext& input, int streamIndex, const QString& path, double audioStart, double audioEnd);

// Whether a raw low-complexity AAC frame of that many channels (1 or 2) reads
// as one: its elements, window, band count and codebook sections, and all of
// it in a silent frame. A damaged packet fails this, so its range is
// re-encoded, where a decoder fills its place and keeps the timeline, instead
// of being copied for the receiver's decoder to drop, shifting all after it.
// Reading this far costs a hundredth of decoding.
bool plausibleFrame(const std::uint8_t* data, int size, int channels, int sampleRate);

} // namespace AacRangeCopy
