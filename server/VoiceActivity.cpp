#include "VoiceActivity.h"

#include <algorithm>
#include <cmath>

namespace server::VoiceActivity {

namespace {

constexpr double kFrameSeconds = 0.02;
constexpr double kBridgeSeconds = 0.3;
constexpr double kShortestSeconds = 0.15;

std::vector<double> frameEnergies(const std::vector<std::int16_t>& samples, std::size_t frame)
{
    std::vector<double> energies;
    for (std::size_t first = 0; first + frame <= samples.size(); first += frame) {
        double sum = 0;
        for (std::size_t i = first; i < first + frame; ++i)
            sum += static_cast<double>(samples[i]) * samples[i];
        energies.push_back(10.0 * std::log10(sum / frame + 1.0));
    }
    return energies;
}

} // namespace

std::vector<Span> voicedSpans(const std::vector<std::int16_t>& samples, int sampleRate)
{
    const auto frame = static_cast<std::size_t>(kFrameSeconds * sampleRate);
    const auto energies = frameEnergies(samples, frame);
    if (energies.empty())
        return {};
    auto sorted = energies;
    std::sort(sorted.begin(), sorted.end());
    const double floor = sorted[sorted.size() / 10];
    const double peak = sorted[sorted.size() * 95 / 100];
    // Speech sits well above the floor; silence-only audio has no span.
    const double threshold = std::max(floor + 0.35 * (peak - floor), floor + 6.0);
    std::vector<Span> spans;
    const auto bridge = static_cast<std::size_t>(kBridgeSeconds / kFrameSeconds);
    for (std::size_t i = 0; i < energies.size(); ++i) {
        if (energies[i] < threshold || peak - floor < 10.0)
            continue;
        const std::size_t firstSample = i * frame;
        if (!spans.empty() && firstSample - spans.back().endSample <= bridge * frame)
            spans.back().endSample = (i + 1) * frame;
        else
            spans.push_back({ firstSample, (i + 1) * frame });
    }
    const auto shortest = static_cast<std::size_t>(kShortestSeconds * sampleRate);
    std::erase_if(spans, [&](const Span& span) { return span.endSample - span.firstSample < shortest; });
    return spans;
}

std::vector<Span> pieces(const std::vector<std::int16_t>& samples, int sampleRate, double maximumSeconds)
{
    const auto frame = static_cast<std::size_t>(kFrameSeconds * sampleRate);
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
            if (energies[i] < energies[quietest])
                quietest = i;
        }
        const std::size_t cut = std::max(quietest * frame + frame / 2, first + frame);
        result.push_back({ first, cut });
        first = cut;
    }
    if (first < samples.size())
        result.push_back({ first, samples.size() });
    return result;
}

} // namespace server::VoiceActivity
