// Merging a long meeting: about 2.8 words a second, five-minute chunks with
// 2.5 s of context on each side, and a speaker turn every 5.4 s.
#include "pipeline/TranscriptAlignment.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kChunkSeconds = 300;
constexpr double kContextSeconds = 2.5;
constexpr double kTurnSeconds = 5.4;

struct Meeting
{
    std::vector<AudioChunk> chunks;
    std::vector<SpeakerSegment> speakers;
    size_t wordCount = 0;
};

struct Word
{
    QString text;
    double start;
    double end;
};

Meeting meetingOfHours(int hours)
{
    const double duration = hours * 3600.0;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> length(0.15, 0.35);
    std::uniform_real_distribution<double> gap(0.02, 0.15);
    std::uniform_real_distribution<double> jitter(-0.1, 0.1);

    std::vector<Word> words;
    for (double t = 0.5;;) {
        const double end = t + length(random);
        if (end > duration) {
            break;
        }
        words.push_back(Word { QStringLiteral("word%1").arg(words.size()), t, end });
        t = end + gap(random);
    }

    Meeting meeting;
    meeting.wordCount = words.size();
    for (double start = 0; start < duration; start += kChunkSeconds) {
        const double end = std::min(duration, start + kChunkSeconds);
        AudioChunk chunk { QStringLiteral("chunk.m4a"), start, end, QString(), std::nullopt,
            std::max(0.0, start - kContextSeconds), std::min(duration, end + kContextSeconds),
            std::vector<AlignedWord>() };
        double previousStart = 0;
        for (const Word& word : words) {
            const double middle = (word.start + word.end) / 2;
            if (middle <= *chunk.audioStart || middle >= *chunk.audioEnd) {
                continue;
            }
            const double fileLength = *chunk.audioEnd - *chunk.audioStart;
            const double relativeStart
                = std::clamp(word.start - *chunk.audioStart + jitter(random), 0.0, fileLength);
            const double wordStart = std::max(previousStart, relativeStart);
            const double wordEnd
                = std::clamp(word.end - *chunk.audioStart, wordStart + 0.05, fileLength + 0.2);
            const QString text = chunk.words->empty() ? word.text : QStringLiteral(" ") + word.text;
            chunk.words->push_back(AlignedWord { text, wordStart, wordEnd });
            *chunk.text += text;
            previousStart = wordStart;
        }
        meeting.chunks.push_back(std::move(chunk));
    }
    for (double start = 0; start < duration; start += kTurnSeconds) {
        const auto turn = static_cast<int>(start / kTurnSeconds);
        meeting.speakers.push_back(
            SpeakerSegment { start, start + kTurnSeconds, QStringLiteral("SPEAKER_%1").arg(turn % 4) });
    }
    return meeting;
}

void mergeMeeting(benchmark::State& state)
{
    const Meeting meeting = meetingOfHours(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(TranscriptAlignment::merged(meeting.chunks, meeting.speakers));
    }
    state.counters["words"] = static_cast<double>(meeting.wordCount);
    state.counters["chunks"] = static_cast<double>(meeting.chunks.size());
    state.counters["segments"] = static_cast<double>(meeting.speakers.size());
    state.counters["wordsPerSecond"]
        = benchmark::Counter(static_cast<double>(meeting.wordCount) * static_cast<double>(state.iterations()),
            benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(mergeMeeting)->Arg(1)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
