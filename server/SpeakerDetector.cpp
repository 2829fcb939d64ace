#include "SpeakerDetector.h"

#include "SpeakerClustering.h"
#include "VoiceActivity.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace server::SpeakerDetector {

namespace {

using SpeakerClustering::Gaussian;
using SpeakerClustering::Model;
using SpeakerClustering::Vector;
using VoiceActivity::FrameSpan;
using VoiceFeatures::Frame;

constexpr double kFrameSeconds = VoiceFeatures::kFrameSeconds;
// Three seconds: shorter windows describe the sounds being said more than the voice saying them.
constexpr std::size_t kWindowFrames = 300;
// A window with less voice than this says too little about who is speaking.
constexpr double kLeastVoicedPerWindow = 20;
// A second of voice: less is a cough or a laugh, not another person.
constexpr double kLeastSpeakerFrames = 100;
// Log-likelihood a change of speaker inside one stretch of speech must gain.
constexpr double kSwitchPenalty = 100;
constexpr int kResegmentations = 2;
constexpr double kSameTurnGap = 1.0;
// Word edges fade into the pause around a turn.
constexpr double kPadSeconds = 0.2;
constexpr std::size_t kSpectrumOffsetFrames = 1; // the 25 ms window's centre, roughly
// A voice's pitch never holds still: from one 10 ms frame to the next it stays
// within 0.2 % in at most 60 % of frames (a fifth of the time for most voices).
// Played or sung notes hold theirs nearly always.
constexpr double kSteadyPitchStep = 0.003; // octaves
constexpr double kMostSteadyShare = 0.85;

bool voiced(const Frame& frame)
{
    return frame.pitch > 0;
}

Vector rawFeatures(const Frame& frame)
{
    Vector x {};
    for (int i = 0; i < VoiceFeatures::kCepstra; ++i) {
        x[i] = frame.cepstrum[i];
    }
    x[VoiceFeatures::kCepstra] = std::log2(frame.pitch);
    return x;
}

// Features of the voiced speech frames, scaled to unit variance so one ridge
// suits every dimension.
class Features
{
public:
    Features(const std::vector<Frame>& frames, const std::vector<FrameSpan>& spans)
        : m_frames(frames)
    {
        Gaussian all;
        forEachVoiced(spans, [&](std::size_t i) { all.add(rawFeatures(frames[i])); });
        for (int d = 0; d < SpeakerClustering::kDims; ++d) {
            m_mean[d] = all.count > 0 ? all.sum[d] / all.count : 0;
            const double variance = all.count > 0
                ? all.products[d * SpeakerClustering::kDims + d] / all.count - m_mean[d] * m_mean[d]
                : 1;
            m_scale[d] = 1 / std::sqrt(std::max(variance, 1e-6));
        }
    }

    Vector at(std::size_t i) const
    {
        Vector x = rawFeatures(m_frames[i]);
        for (int d = 0; d < SpeakerClustering::kDims; ++d) {
            x[d] = (x[d] - m_mean[d]) * m_scale[d];
        }
        return x;
    }

    bool voicedAt(std::size_t i) const { return voiced(m_frames[i]); }

    template <typename Visit> void forEachVoiced(const std::vector<FrameSpan>& spans, Visit visit) const
    {
        for (const auto& span : spans) {
            for (std::size_t i = span.firstFrame; i < span.endFrame; ++i) {
                if (voiced(m_frames[i])) {
                    visit(i);
                }
            }
        }
    }

private:
    const std::vector<Frame>& m_frames;
    Vector m_mean {};
    Vector m_scale {};
};

// Each stretch of speech cut into windows of about three seconds.
std::vector<FrameSpan> windowsOf(const std::vector<FrameSpan>& spans)
{
    std::vector<FrameSpan> windows;
    for (const auto& span : spans) {
        const std::size_t length = span.endFrame - span.firstFrame;
        const std::size_t count = std::max<std::size_t>(1, (length + kWindowFrames / 2) / kWindowFrames);
        for (std::size_t w = 0; w < count; ++w) {
            windows.push_back(
                { span.firstFrame + length * w / count, span.firstFrame + length * (w + 1) / count });
        }
    }
    return windows;
}

// The first speaker statistics: windows clustered by the criterion.
std::vector<Gaussian> initialSpeakers(const Features& features, const std::vector<FrameSpan>& spans)
{
    std::vector<Gaussian> groups;
    for (const auto& window : windowsOf(spans)) {
        Gaussian group;
        features.forEachVoiced({ window }, [&](std::size_t i) { group.add(features.at(i)); });
        if (group.count >= kLeastVoicedPerWindow) {
            groups.push_back(group);
        }
    }
    if (groups.empty()) {
        Gaussian all;
        features.forEachVoiced(spans, [&](std::size_t i) { all.add(features.at(i)); });
        return { all };
    }
    const auto labels = SpeakerClustering::cluster(groups, kMostSpeakers, kLeastSpeakerFrames);
    std::vector<Gaussian> speakers(
        static_cast<std::size_t>(*std::max_element(labels.begin(), labels.end()) + 1));
    for (std::size_t g = 0; g < groups.size(); ++g) {
        speakers[static_cast<std::size_t>(labels[g])].merge(groups[g]);
    }
    return speakers;
}

// The most likely speaker of every frame of one stretch, with a cost for each change.
void viterbi(const Features& features, const std::vector<Model>& models, const FrameSpan& span,
    std::vector<int>& labels)
{
    const std::size_t k = models.size();
    const std::size_t length = span.endFrame - span.firstFrame;
    std::vector<double> score(k, 0.0);
    std::vector<double> next(k);
    std::vector<std::uint8_t> from(length * k);
    for (std::size_t t = 0; t < length; ++t) {
        const std::size_t frame = span.firstFrame + t;
        const auto best
            = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
        const bool informative = features.voicedAt(frame);
        const Vector x = informative ? features.at(frame) : Vector {};
        for (std::size_t s = 0; s < k; ++s) {
            const bool stay = score[s] >= score[best] - kSwitchPenalty;
            from[t * k + s] = static_cast<std::uint8_t>(stay ? s : best);
            next[s] = (stay ? score[s] : score[best] - kSwitchPenalty)
                + (informative ? models[s].logLikelihood(x) : 0.0);
        }
        score.swap(next);
    }
    auto state = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    for (std::size_t t = length; t-- > 0;) {
        labels[span.firstFrame + t] = static_cast<int>(state);
        state = from[t * k + state];
    }
}

// Labels -1 the frames of every "speaker" whose pitch holds still like an
// instrument's, so music is nobody's turn.
void forgetPlayedNotes(const std::vector<Frame>& frames, const std::vector<FrameSpan>& spans,
    std::size_t speakers, std::vector<int>& labels)
{
    std::vector<double> steady(speakers);
    std::vector<double> pairs(speakers);
    for (const auto& span : spans) {
        for (std::size_t i = span.firstFrame + 1; i < span.endFrame; ++i) {
            if (!voiced(frames[i]) || !voiced(frames[i - 1]) || labels[i] != labels[i - 1]) {
                continue;
            }
            const auto speaker = static_cast<std::size_t>(labels[i]);
            pairs[speaker] += 1;
            steady[speaker] += std::fabs(std::log2(frames[i].pitch / frames[i - 1].pitch)) < kSteadyPitchStep;
        }
    }
    for (const auto& span : spans) {
        for (std::size_t i = span.firstFrame; i < span.endFrame; ++i) {
            const auto speaker = static_cast<std::size_t>(labels[i]);
            if (pairs[speaker] > 0 && steady[speaker] > kMostSteadyShare * pairs[speaker]) {
                labels[i] = -1;
            }
        }
    }
}

std::string label(int index)
{
    char text[16];
    std::snprintf(text, sizeof text, "SPEAKER_%02d", index);
    return text;
}

std::vector<Turn> turnsOf(const std::vector<int>& labels, const std::vector<FrameSpan>& spans)
{
    struct Run
    {
        double start;
        double end;
        int speaker;
    };
    std::vector<Run> runs;
    for (const auto& span : spans) {
        for (std::size_t i = span.firstFrame; i < span.endFrame; ++i) {
            if (labels[i] < 0) {
                continue;
            }
            const double start = static_cast<double>(i + kSpectrumOffsetFrames) * kFrameSeconds;
            const bool extends
                = !runs.empty() && runs.back().speaker == labels[i] && start - runs.back().end < kSameTurnGap;
            if (extends) {
                runs.back().end = start + kFrameSeconds;
            } else {
                runs.push_back({ start, start + kFrameSeconds, labels[i] });
            }
        }
    }
    std::map<int, int> names;
    std::vector<Turn> turns;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const double before = r > 0 ? (runs[r].start - runs[r - 1].end) / 2 : runs[r].start;
        const double after = r + 1 < runs.size() ? (runs[r + 1].start - runs[r].end) / 2 : kPadSeconds;
        const auto [entry, added] = names.try_emplace(runs[r].speaker, static_cast<int>(names.size()));
        turns.push_back({ runs[r].start - std::min(kPadSeconds, std::max(before, 0.0)),
            runs[r].end + std::min(kPadSeconds, std::max(after, 0.0)), label(entry->second) });
    }
    return turns;
}

} // namespace

void Analysis::add(const std::int16_t* samples, std::size_t count)
{
    m_analyser.add(samples, count, m_frames);
}

std::vector<Turn> Analysis::finish() const
{
    const auto spans = VoiceActivity::speechSpans(m_frames);
    const Features features(m_frames, spans);
    std::vector<Gaussian> speakers = initialSpeakers(features, spans);
    std::vector<int> labels(m_frames.size(), -1);
    for (int round = 0; round <= kResegmentations; ++round) {
        std::erase_if(
            speakers, [](const Gaussian& speaker) { return speaker.count < kLeastVoicedPerWindow; });
        if (speakers.empty()) {
            return {};
        }
        std::vector<Model> models;
        for (const auto& speaker : speakers) {
            models.emplace_back(speaker);
        }
        for (const auto& span : spans) {
            viterbi(features, models, span, labels);
        }
        speakers.assign(models.size(), Gaussian {});
        features.forEachVoiced(
            spans, [&](std::size_t i) { speakers[static_cast<std::size_t>(labels[i])].add(features.at(i)); });
    }
    forgetPlayedNotes(m_frames, spans, speakers.size(), labels);
    return turnsOf(labels, spans);
}

std::vector<Turn> detect(const AudioDecoder::Pcm& pcm)
{
    Analysis analysis;
    analysis.add(pcm.samples.data(), pcm.samples.size());
    return analysis.finish();
}

} // namespace server::SpeakerDetector
