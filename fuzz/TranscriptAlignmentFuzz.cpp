// Feeds arbitrary chunks, words and speaker segments to the alignment check
// and the aligned merge. Either may refuse with an APIClientError; nothing
// else may escape, crash or hang, whatever the times (NaN, infinities,
// inverted ranges) and texts.
#include "core/APIClientError.h"
#include "pipeline/TranscriptAlignment.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

namespace {

double anyTime(FuzzedDataProvider& data)
{
    switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        return std::numeric_limits<double>::quiet_NaN();
    case 1:
        return std::numeric_limits<double>::infinity();
    case 2:
        return -std::numeric_limits<double>::infinity();
    case 3:
        return data.ConsumeFloatingPoint<double>();
    default:
        // Mostly plausible times, so that many inputs get past validation.
        return data.ConsumeFloatingPointInRange<double>(-5, 400);
    }
}

std::optional<double> maybeTime(FuzzedDataProvider& data)
{
    return data.ConsumeBool() ? std::optional<double>(anyTime(data)) : std::nullopt;
}

QString anyText(FuzzedDataProvider& data)
{
    return QString::fromUtf8(data.ConsumeRandomLengthString(24));
}

AudioChunk anyChunk(FuzzedDataProvider& data)
{
    AudioChunk chunk { QStringLiteral("chunk.m4a"), anyTime(data), anyTime(data), std::nullopt, std::nullopt,
        maybeTime(data), maybeTime(data), std::nullopt };
    if (data.ConsumeIntegralInRange<int>(0, 15) == 0) {
        return chunk; // not aligned
    }
    std::vector<AlignedWord> words(data.ConsumeIntegralInRange<size_t>(0, 64));
    QString joined;
    for (AlignedWord& word : words) {
        word = AlignedWord { anyText(data), maybeTime(data), maybeTime(data) };
        joined += word.text;
    }
    chunk.words = std::move(words);
    chunk.text = data.ConsumeIntegralInRange<int>(0, 7) == 0 ? anyText(data) : joined;
    return chunk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<AudioChunk> chunks(input.ConsumeIntegralInRange<size_t>(0, 8));
    for (AudioChunk& chunk : chunks) {
        chunk = anyChunk(input);
    }
    std::vector<SpeakerSegment> speakers(input.ConsumeIntegralInRange<size_t>(0, 32));
    for (SpeakerSegment& segment : speakers) {
        segment = SpeakerSegment { anyTime(input), anyTime(input), anyText(input) };
    }
    try {
        for (const AudioChunk& chunk : chunks) {
            if (chunk.words) {
                TranscriptAlignment::validate(
                    *chunk.words, chunk.text.value_or(QString()), chunk.fileDuration());
            }
        }
    } catch (const APIClientError&) { }
    try {
        TranscriptAlignment::merged(chunks, speakers);
    } catch (const APIClientError&) { }
    return 0;
}
