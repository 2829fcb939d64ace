#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Decodes uploaded audio with FFmpeg into what the local engines read:
// 16 kHz mono signed 16-bit samples.
namespace server::AudioDecoder {

constexpr int kSampleRate = 16000;

struct Pcm
{
    std::vector<std::int16_t> samples;

    double duration() const { return static_cast<double>(samples.size()) / kSampleRate; }
};

// Throws HttpError 400/422 when the bytes are not decodable audio, or longer than `maximumSeconds`.
Pcm decodeBytes(std::string_view bytes, double maximumSeconds);

// Hands the samples over a block at a time, so a long recording is never held whole.
using BlockSink = std::function<void(const std::int16_t* samples, std::size_t count)>;
void decodeFileInBlocks(const std::string& path, double maximumSeconds, const BlockSink& sink);

} // namespace server::AudioDecoder
