#pragma once

#include "media/FFmpegHandles.h"

#include <cstdint>

namespace AacEncoder {

// An opened mono AAC encoder taking planar float, with its configuration in
// global headers as MP4 wants it; throws RecorderError when FFmpeg has none.
FFmpeg::Codec openMono(int sampleRate, int64_t bitRate);

} // namespace AacEncoder
