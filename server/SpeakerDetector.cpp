#include "SpeakerDetector.h"

#include "SpeakerClustering.h"
#include "VoiceActivity.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>

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
// Nor is less than a hundredth of a long meeting's voice: in four hours of
// speech, two minutes of one voice otherwise stood apart as someone else.
constexpr double kLeastSpeakerShare = 0.01;
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
// Five minutes: a longer stretch without a pause (noise, music) is worked on in
// pieces, so the memory a stretch needs stays bounded.
constexpr std::size_t kLongestStretchFrames = 30000;

using Stretch = std::vector<std::optional<Vector>>;
// A frame's speaker, -1 for nobody's.
using Label = std::int8_t;

std::runtime_error fileError()
{
    return std::runtime_error(
        std::string("The server could not keep its speaker analysis on disk: ") + std::strerror(errno) + '.');
}

// Frames back from the analysis's file.
class FrameReader
{
public:
    explicit FrameReader(std::FILE* file)
        : m_descriptor(fileno(file))
    { }

    std::vector<Frame> read(const FrameSpan& span) const
    {
        std::vector<Frame> frames(span.endFrame - span.firstFrame);
        const auto bytes = static_cast<ssize_t>(frames.size() * sizeof(Frame));
        const ssize_t got = pread(m_descriptor, frames.data(), static_cast<std::size_t>(bytes),
            static_cast<off_t>(span.firstFrame * sizeof(Frame)));
        if (got < 0) {
            throw fileError();
        }
        if (got != bytes) {
            throw std::runtime_error("The server's speaker analysis on disk was shorter than it wrote.");
        }
        return frames;
    }

private:
    int m_descriptor;
};

Vector rawFeatures(const Frame& frame)
{
    Vector x {};
    for (int i = 0; i < VoiceFeatures::kCepstra; ++i) {
        x[i] = frame.cepstrum[i];
    }
    x[VoiceFeatures::kCepstra] = std::log2(frame.pitch);
    return x;
}

// Speech cut where it runs on for longer than a stretch may.
std::vector<FrameSpan> stretchesOf(const std::vector<FrameSpan>& spans)
{
    std::vector<FrameSpan> stretches;
    for (const auto& span : spans) {
        for (std::size_t first = span.firstFrame; first < span.endFrame; first += kLongestStretchFrames) {
            stretches.push_back({ first, std::min(span.endFrame, first + kLongestStretchFrames) });
        }
    }
    return stretches;
}

// Voiced frames as features scaled to unit variance over the whole meeting, so
// one ridge suits every dimension.
class Features
{
public:
    Features(const FrameReader& reader, const std::vector<FrameSpan>& stretches)
        : m_reader(reader)
    {
        Gaussian all;
        for (const auto& stretch : stretches) {
            for (const auto& frame : reader.read(stretch)) {
                if (frame.pitch > 0) {
                    all.add(rawFeatures(frame));
                }
            }
        }
        for (int d = 0; d < SpeakerClustering::kDims; ++d) {
            m_mean[d] = all.count > 0 ? all.sum[d] / all.count : 0;
            const double variance = all.count > 0
                ? all.products[d * SpeakerClustering::kDims + d] / all.count - m_mean[d] * m_mean[d]
                : 1;
            m_scale[d] = 1 / std::sqrt(std::max(variance, 1e-6));
        }
    }

    // One entry per frame of `span`; unvoiced frames say nothing about the voice.
    Stretch of(const FrameSpan& span) const
    {
        Stretch features;
        for (const auto& frame : m_reader.read(span)) {
            features.push_back(frame.pitch > 0 ? std::optional(scaled(rawFeatures(frame))) : std::nullopt);
        }
        return features;
    }

    Gaussian statistics(const FrameSpan& span) const
    {
        Gaussian group;
        for (const auto& x : of(span)) {
            if (x) {
                group.add(*x);
            }
        }
        return group;
    }

private:
    Vector scaled(Vector x) const
    {
        for (int d = 0; d < SpeakerClustering::kDims; ++d) {
            x[d] = (x[d] - m_mean[d]) * m_scale[d];
        }
        return x;
    }

    const FrameReader& m_reader;
    Vector m_mean {};
    Vector m_scale {};
};

// Each stretch of speech cut into windows of about three seconds.
std::vector<FrameSpan> windowsOf(const std::vector<FrameSpan>& stretches)
{
    std::vector<FrameSpan> windows;
    for (const auto& span : stretches) {
        const std::size_t length = span.endFrame - span.firstFrame;
        const std::size_t count = std::max<std::size_t>(1, (length + kWindowFrames / 2) / kWindowFrames);
        for (std::size_t w = 0; w < count; ++w) {
            windows.push_back(
                { span.firstFrame + length * w / count, span.firstFrame + length * (w + 1) / count });
        }
    }
    return windows;
}

// The windows with enough voice to say who speaks, spread evenly over the
// meeting and at most as many as the clustering takes: every speaker of a long
// meeting is in such a sample, and the resegmentation then labels every frame.
// (Merging neighbours to get there joined turns of similar voices.)
std::vector<FrameSpan> sampledWindows(
    const std::vector<FrameSpan>& stretches, const std::vector<VoiceActivity::Level>& levels)
{
    std::vector<FrameSpan> voiced;
    for (const auto& window : windowsOf(stretches)) {
        const auto count = std::count_if(levels.begin() + static_cast<long>(window.firstFrame),
            levels.begin() + static_cast<long>(window.endFrame),
            [](const auto& level) { return level.pitch > 0; });
        if (static_cast<double>(count) >= kLeastVoicedPerWindow) {
            voiced.push_back(window);
        }
    }
    const std::size_t kept = std::min(voiced.size(), SpeakerClustering::kMostGroups);
    std::vector<FrameSpan> sample;
    for (std::size_t k = 0; k < kept; ++k) {
        sample.push_back(voiced[k * voiced.size() / kept]);
    }
    return sample;
}

// The first speaker statistics: windows clustered by the criterion.
std::vector<Gaussian> initialSpeakers(const Features& features, const std::vector<FrameSpan>& stretches,
    const std::vector<VoiceActivity::Level>& levels)
{
    std::vector<Gaussian> groups;
    for (const auto& window : sampledWindows(stretches, levels)) {
        groups.push_back(features.statistics(window));
    }
    if (groups.empty()) {
        Gaussian all;
        for (const auto& stretch : stretches) {
            all.merge(features.statistics(stretch));
        }
        return { all };
    }
    double frames = 0;
    for (const auto& group : groups) {
        frames += group.count;
    }
    const auto labels = SpeakerClustering::cluster(
        groups, kMostSpeakers, std::max(kLeastSpeakerFrames, kLeastSpeakerShare * frames));
    std::vector<Gaussian> speakers(
        static_cast<std::size_t>(*std::max_element(labels.begin(), labels.end()) + 1));
    for (std::size_t g = 0; g < groups.size(); ++g) {
        speakers[static_cast<std::size_t>(labels[g])].merge(groups[g]);
    }
    return speakers;
}

// The most likely speaker of every frame of one stretch, with a cost for each change.
void viterbi(const Stretch& features, const std::vector<Model>& models, std::size_t firstFrame,
    std::vector<Label>& labels)
{
    const std::size_t k = models.size();
    const std::size_t length = features.size();
    std::vector<double> score(k, 0.0);
    std::vector<double> next(k);
    std::vector<std::uint8_t> from(length * k);
    for (std::size_t t = 0; t < length; ++t) {
        const auto best
            = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
        for (std::size_t s = 0; s < k; ++s) {
            const bool stay = score[s] >= score[best] - kSwitchPenalty;
            from[t * k + s] = static_cast<std::uint8_t>(stay ? s : best);
            next[s] = (stay ? score[s] : score[best] - kSwitchPenalty)
                + (features[t] ? models[s].logLikelihood(*features[t]) : 0.0);
        }
        score.swap(next);
    }
    auto state = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    for (std::size_t t = length; t-- > 0;) {
        labels[firstFrame + t] = static_cast<Label>(state);
        state = from[t * k + state];
    }
}

// Labels -1 the frames of every "speaker" whose pitch holds still like an
// instrument's, so music is nobody's turn.
void forgetPlayedNotes(const std::vector<VoiceActivity::Level>& frames, const std::vector<FrameSpan>& spans,
    std::size_t speakers, std::vector<Label>& labels)
{
    std::vector<double> steady(speakers);
    std::vector<double> pairs(speakers);
    for (const auto& span : spans) {
        for (std::size_t i = span.firstFrame + 1; i < span.endFrame; ++i) {
            if (frames[i].pitch <= 0 || frames[i - 1].pitch <= 0 || labels[i] != labels[i - 1]) {
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

std::vector<Turn> turnsOf(const std::vector<Label>& labels, const std::vector<FrameSpan>& spans)
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

Analysis::Analysis(const std::string& directory)
{
    std::string path = directory + "/.speakers-XXXXXX";
    const int descriptor = ::mkstemp(path.data());
    if (descriptor < 0) {
        throw fileError();
    }
    ::unlink(path.c_str());
    m_frames.reset(::fdopen(descriptor, "w+b"));
    if (!m_frames) {
        ::close(descriptor);
        throw fileError();
    }
}

void Analysis::add(const std::int16_t* samples, std::size_t count)
{
    m_new.clear();
    m_analyser.add(samples, count, m_new);
    // A block too short to complete a frame writes nothing (and an empty vector has no data).
    if (m_new.empty()) {
        return;
    }
    if (std::fwrite(m_new.data(), sizeof(Frame), m_new.size(), m_frames.get()) != m_new.size()) {
        throw fileError();
    }
    for (const auto& frame : m_new) {
        m_levels.push_back({ frame.energyDb, frame.pitch });
    }
}

std::vector<Turn> Analysis::finish() const
{
    if (std::fflush(m_frames.get()) != 0) {
        throw fileError();
    }
    const FrameReader reader(m_frames.get());
    const auto spans = VoiceActivity::speechSpans(m_levels);
    const auto stretches = stretchesOf(spans);
    const Features features(reader, stretches);
    std::vector<Gaussian> speakers = initialSpeakers(features, stretches, m_levels);
    std::vector<Label> labels(m_levels.size(), -1);
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
        speakers.assign(models.size(), Gaussian {});
        for (const auto& stretch : stretches) {
            const auto x = features.of(stretch);
            viterbi(x, models, stretch.firstFrame, labels);
            for (std::size_t t = 0; t < x.size(); ++t) {
                if (x[t]) {
                    speakers[static_cast<std::size_t>(labels[stretch.firstFrame + t])].add(*x[t]);
                }
            }
        }
    }
    forgetPlayedNotes(m_levels, spans, speakers.size(), labels);
    return turnsOf(labels, spans);
}

std::vector<Turn> detect(const AudioDecoder::Pcm& pcm)
{
    Analysis analysis;
    analysis.add(pcm.samples.data(), pcm.samples.size());
    return analysis.finish();
}

} // namespace server::SpeakerDetector
