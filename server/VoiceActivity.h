#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Voice activity: frame energies compared against a threshold adapted to the
// recording's own noise floor and loudness, so quiet and noisy recordings both work.
namespace server::VoiceActivity {

struct Span
{
    std::size_t firstSample = 0;
    std::size_t endSample = 0;
};

struct FrameSpan
{
    std::size_t firstFrame = 0;
    std::size_t endFrame = 0;
};

// What voice activity needs of a frame: 8 bytes, so a long meeting's levels fit in memory.
struct Level
{
    float energyDb = 0;
    // Hertz; 0 when the frame is not voiced.
    float pitch = 0;
};

// Speech in frame indices, with short gaps bridged, edges widened to the soft
// ends of words, and blips without voiced frames dropped.
std::vector<FrameSpan> speechSpans(const std::vector<Level>& frames);

// Cuts long audio into pieces of at most `maximumSeconds`, each ending in the quietest
// frame near its end, so an engine never sees a word cut in half where it can be avoided.
std::vector<Span> pieces(const std::vector<std::int16_t>& samples, int sampleRate, double maximumSeconds);

} // namespace server::VoiceActivity
