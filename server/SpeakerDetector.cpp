#include "SpeakerDetector.h"

#include "VoiceActivity.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace server::SpeakerDetector {

namespace {

constexpr int kRate = AudioDecoder::kSampleRate;
constexpr int kDecimation = 2; // pitch is found at 8 kHz
constexpr std::size_t kFrame = 640; // 40 ms at 16 kHz
constexpr std::size_t kHop = 320; // 20 ms
constexpr double kLowestPitch = 60;
constexpr double kHighestPitch = 400;
constexpr double kVoicedCorrelation = 0.5;
constexpr double kWindowSeconds = 1.5;
constexpr std::size_t kMinimumVoicedFrames = 5;
// Two voices whose pitch differs by less than about a fifth of an octave merge into one.
constexpr double kSameSpeakerOctaves = 0.3;
constexpr double kSmallClusterShare = 0.05;

double framePitch(const std::int16_t* samples)
{
    constexpr std::size_t n = kFrame / kDecimation;
    double x[n];
    double mean = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = (samples[i * kDecimation] + samples[i * kDecimation + 1]) * 0.5;
        mean += x[i];
    }
    mean /= n;
    for (double& v : x)
        v -= mean;
    const double rate = static_cast<double>(kRate) / kDecimation;
    const auto shortestLag = static_cast<std::size_t>(rate / kHighestPitch);
    const auto longestLag = static_cast<std::size_t>(rate / kLowestPitch);
    double best = 0;
    std::size_t bestLag = 0;
    for (std::size_t lag = shortestLag; lag <= longestLag; ++lag) {
        double product = 0;
        double energyA = 0;
        double energyB = 0;
        for (std::size_t i = 0; i + lag < n; ++i) {
            product += x[i] * x[i + lag];
            energyA += x[i] * x[i];
            energyB += x[i + lag] * x[i + lag];
        }
        const double correlation = product / std::sqrt(energyA * energyB + 1e-9);
        if (correlation > best) {
            best = correlation;
            bestLag = lag;
        }
    }
    if (best < kVoicedCorrelation || bestLag == 0)
        return 0;
    return rate / static_cast<double>(bestLag);
}

struct Window
{
    double start = 0;
    double end = 0;
    double feature = 0; // log2 of the median pitch; 0 when unvoiced
    int cluster = -1;
};

struct Cluster
{
    double centroid = 0;
    double weight = 0;
    std::vector<std::size_t> members;
};

// In one dimension the two nearest centroids are always neighbours in sorted order.
std::vector<Cluster> clusters(const std::vector<Window>& windows)
{
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (windows[i].feature > 0)
            order.push_back(i);
    }
    std::sort(
        order.begin(), order.end(), [&](auto a, auto b) { return windows[a].feature < windows[b].feature; });
    std::vector<Cluster> result;
    for (auto i : order)
        result.push_back({ windows[i].feature, windows[i].end - windows[i].start, { i } });
    auto merge = [&](std::size_t k) {
        Cluster& left = result[k];
        const Cluster& right = result[k + 1];
        left.centroid
            = (left.centroid * left.weight + right.centroid * right.weight) / (left.weight + right.weight);
        left.weight += right.weight;
        left.members.insert(left.members.end(), right.members.begin(), right.members.end());
        result.erase(result.begin() + static_cast<long>(k) + 1);
    };
    while (result.size() > 1) {
        std::size_t nearest = 0;
        for (std::size_t k = 1; k + 1 < result.size(); ++k) {
            if (result[k + 1].centroid - result[k].centroid
                < result[nearest + 1].centroid - result[nearest].centroid)
                nearest = k;
        }
        if (result[nearest + 1].centroid - result[nearest].centroid >= kSameSpeakerOctaves)
            break;
        merge(nearest);
    }
    // Stray windows (coughs, laughter, pitch errors) join the nearest real speaker.
    double total = 0;
    for (const auto& cluster : result)
        total += cluster.weight;
    for (bool changed = true; changed && result.size() > 1;) {
        changed = false;
        for (std::size_t k = 0; k < result.size(); ++k) {
            if (result[k].weight >= kSmallClusterShare * total)
                continue;
            const bool toLeft = k + 1 == result.size()
                || (k > 0
                    && result[k].centroid - result[k - 1].centroid
                        < result[k + 1].centroid - result[k].centroid);
            merge(toLeft ? k - 1 : k);
            changed = true;
            break;
        }
    }
    return result;
}

std::vector<Window> windows(const AudioDecoder::Pcm& pcm)
{
    const auto& samples = pcm.samples;
    std::vector<Window> result;
    const auto windowSamples = static_cast<std::size_t>(kWindowSeconds * kRate);
    for (const auto& span : VoiceActivity::voicedSpans(samples, kRate)) {
        const std::size_t length = span.endSample - span.firstSample;
        const std::size_t count = std::max<std::size_t>(1, (length + windowSamples / 2) / windowSamples);
        for (std::size_t w = 0; w < count; ++w) {
            const std::size_t first = span.firstSample + length * w / count;
            const std::size_t end = span.firstSample + length * (w + 1) / count;
            const double pitch = medianPitch(samples.data() + first, end - first);
            result.push_back({ static_cast<double>(first) / kRate, static_cast<double>(end) / kRate,
                pitch > 0 ? std::log2(pitch) : 0.0, -1 });
        }
    }
    return result;
}

std::string label(int index)
{
    char text[16];
    std::snprintf(text, sizeof text, "SPEAKER_%02d", index);
    return text;
}

} // namespace

double medianPitch(const std::int16_t* samples, std::size_t count)
{
    std::vector<double> pitches;
    for (std::size_t first = 0; first + kFrame <= count; first += kHop) {
        const double pitch = framePitch(samples + first);
        if (pitch > 0)
            pitches.push_back(pitch);
    }
    if (pitches.size() < kMinimumVoicedFrames)
        return 0;
    std::nth_element(pitches.begin(), pitches.begin() + static_cast<long>(pitches.size() / 2), pitches.end());
    return pitches[pitches.size() / 2];
}

std::vector<Turn> detect(const AudioDecoder::Pcm& pcm)
{
    auto all = windows(pcm);
    const auto found = clusters(all);
    for (std::size_t c = 0; c < found.size(); ++c) {
        for (auto member : found[c].members)
            all[member].cluster = static_cast<int>(c);
    }
    // Unvoiced windows belong to whoever spoke just before (or just after, at the start).
    for (std::size_t i = 1; i < all.size(); ++i) {
        if (all[i].cluster < 0)
            all[i].cluster = all[i - 1].cluster;
    }
    for (std::size_t i = all.size(); i-- > 1;) {
        if (all[i - 1].cluster < 0)
            all[i - 1].cluster = all[i].cluster;
    }
    std::map<int, int> names;
    std::vector<Turn> turns;
    for (const auto& window : all) {
        if (window.cluster < 0)
            continue;
        const auto [entry, added] = names.try_emplace(window.cluster, static_cast<int>(names.size()));
        const std::string speaker = label(entry->second);
        if (!turns.empty() && turns.back().speaker == speaker && window.start - turns.back().end < 1.0)
            turns.back().end = window.end;
        else
            turns.push_back({ window.start, window.end, speaker });
    }
    return turns;
}

} // namespace server::SpeakerDetector
