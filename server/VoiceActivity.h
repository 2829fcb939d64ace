#pragma once

#include <cstdint>
#include <vector>

// Energy-based voice activity over 16 kHz mono samples: frames of 20 ms compared
// against a threshold adapted to the recording's own noise floor.
namespace server::VoiceActivity {

struct Span
{
    std::size_t firstSample = 0;
    std::size_t endSample = 0;
};

// Voiced spans, with short gaps bridged and very short blips dropped.
std::vector<Span> voicedSpans(const std::vector<std::int16_t>& samples, int sampleRate);

// Cuts long audio into pieces of at most `maximumSeconds`, each ending in the quietest
// frame near its end, so an engine never sees a word cut in half where it can be avoided.
std::vector<Span> pieces(const std::vector<std::int16_t>& samples, int sampleRate, double maximumSeconds);

} // namespace server::VoiceActivity
