#include "VoiceActivity.h"

#include "VoiceFeatures.h"

#include <algorithm>
#include <cmath>

namespace server::VoiceActivity {

namespace {

constexpr double kCutFrameSeconds = 0.02;
constexpr double kLeastDynamicsDb = 10;
constexpr double kLeastMarginDb = 6;
constexpr double kMarginShare = 0.3;
constexpr double kBridgeSeconds = 0.2;
constexpr double kWidenSeconds = 0.15;
// A tenth of a second of voice: clicks, bumps and noise bursts have none.
constexpr long kLeastVoicedFrames = 10;

std::vector<double> frameEnergies(const std::vector<std::int16_t>& samples, std::size_t frame)
{
    std::vector<double> energies;
    for (std::size_t first = 0; first + frame <= samples.size(); first += frame) {
        double sum = 0;
        for (std::size_t i = first; i < first + frame; ++i) {
            sum += static_cast<double>(samples[i]) * samples[i];
        }
        energies.push_back(10.0 * std::log10(sum / frame + 1.0));
    }
    return energies;
}

} // namespace

std::vector<FrameSpan> speechSpans(const std::vector<Level>& frames)
{
    if (frames.empty()) {
        return {};
    }
    std::vector<float> sorted;
    for (const auto& frame : frames) {
        sorted.push_back(frame.energyDb);
    }
    std::sort(sorted.begin(), sorted.end());
    const double floor = sorted[sorted.size() / 10];
    const double peak = sorted[sorted.size() * 97 / 100];
    // Silence, or a steady hum, has no speech at all.
    if (peak - floor < kLeastDynamicsDb) {
        return {};
    }
    const double threshold = floor + std::max(kLeastMarginDb, kMarginShare * (peak - floor));
    const double edge = (floor + threshold) / 2;
    const auto bridge = static_cast<std::size_t>(kBridgeSeconds / VoiceFeatures::kFrameSeconds);
    const auto widen = static_cast<std::size_t>(kWidenSeconds / VoiceFeatures::kFrameSeconds);
    std::vector<FrameSpan> spans;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].energyDb < threshold) {
            continue;
        }
        if (!spans.empty() && i - spans.back().endFrame <= bridge) {
            spans.back().endFrame = i + 1;
        } else {
            spans.push_back({ i, i + 1 });
        }
    }
    for (std::size_t s = 0; s < spans.size(); ++s) {
        auto& span = spans[s];
        const std::size_t lowest = s > 0 ? spans[s - 1].endFrame : 0;
        for (std::size_t k = 0;
             k < widen && span.firstFrame > lowest && frames[span.firstFrame - 1].energyDb >= edge; ++k) {
            --span.firstFrame;
        }
        const std::size_t highest = s + 1 < spans.size() ? spans[s + 1].firstFrame : frames.size();
        for (std::size_t k = 0;
             k < widen && span.endFrame < highest && frames[span.endFrame].energyDb >= edge; ++k) {
            ++span.endFrame;
        }
    }
    std::erase_if(spans, [&](const FrameSpan& span) {
        const auto voiced = std::count_if(frames.begin() + static_cast<long>(span.firstFrame),
            frames.begin() + static_cast<long>(span.endFrame),
            [](const auto& frame) { return frame.pitch > 0; });
        return voiced < kLeastVoicedFrames;
    });
    return spans;
}

std::vector<Span> pieces(const std::vector<std::int16_t>& samples, int sampleRate, double maximumSeconds)
{
    const auto frame = static_cast<std::size_t>(kCutFrameSeconds * sampleRate);
    const auto longest = static_cast<std::size_t>(maximumSeconds * sampleRate);
    const auto energies = frameEnergies(samples, frame);
    std::vector<Span> result;
    std::size_t first = 0;
    while (samples.size() - first > longest) {
        // The quietest frame in the last third of the allowed length.
        const std::size_t searchFrom = (first + longest * 2 / 3) / frame;
        const std::size_t searchTo = std::min((first + longest) / frame, energies.size());
        std::size_t quietest = searchFrom;
        for (std::size_t i = searchFrom; i < searchTo; ++i) {
            if (energies[i] < energies[quietest]) {
                quietest = i;
            }
        }
        const std::size_t cut = std::max(quietest * frame + frame / 2, first + frame);
        result.push_back({ first, cut });
        first = cut;
    }
    if (first < samples.size()) {
        result.push_back({ first, samples.size() });
    }
    return result;
}

} // namespace server::VoiceActivity
