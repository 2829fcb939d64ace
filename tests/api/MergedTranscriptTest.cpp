#include "api/APIClient.h"

#include <gtest/gtest.h>

namespace {

AudioChunk chunk(double start, std::optional<QString> text, std::optional<QString> speaker = std::nullopt)
{
    AudioChunk result;
    result.filename = QStringLiteral("chunk.m4a");
    result.start = start;
    result.end = start + 300;
    result.text = std::move(text);
    result.speaker = std::move(speaker);
    return result;
}

} // namespace

TEST(MergedTranscript, JoinsTrimmedTextsWithABlankLine)
{
    const std::vector<AudioChunk> chunks {
        chunk(0, QStringLiteral("  First part.\n")),
        chunk(300, QStringLiteral("\tSecond part. ")),
    };
    EXPECT_EQ(APIClient::mergedTranscript(chunks), QStringLiteral("First part.\n\nSecond part."));
}

TEST(MergedTranscript, SkipsChunksWithoutText)
{
    const std::vector<AudioChunk> chunks {
        chunk(0, std::nullopt),
        chunk(300, QStringLiteral(" \n\t ")),
        chunk(600, QStringLiteral("Only words.")),
        chunk(900, QString()),
    };
    EXPECT_EQ(APIClient::mergedTranscript(chunks), QStringLiteral("Only words."));
    EXPECT_EQ(APIClient::mergedTranscript({}), QString());
    EXPECT_EQ(APIClient::mergedTranscript({ chunk(0, std::nullopt) }), QString());
}

TEST(MergedTranscript, SpeakerChunksCarryTheirStartTime)
{
    const std::vector<AudioChunk> chunks {
        chunk(300, QStringLiteral(" Hello there. "), QStringLiteral("A")),
        chunk(600, QStringLiteral("Plain text.")),
        chunk(3725.99, QStringLiteral("Later."), QStringLiteral("B %1")),
    };
    EXPECT_EQ(APIClient::mergedTranscript(chunks),
        QStringLiteral("[00:05:00] A: Hello there.\n\nPlain text.\n\n[01:02:05] B %1: Later."));
}

TEST(MergedTranscript, TimeStampsTruncateAndHoursAreNotLimited)
{
    EXPECT_EQ(APIClient::mergedTranscript({ chunk(59.999, QStringLiteral("x"), QStringLiteral("S")) }),
        QStringLiteral("[00:00:59] S: x"));
    EXPECT_EQ(APIClient::mergedTranscript({ chunk(360000, QStringLiteral("x"), QStringLiteral("S")) }),
        QStringLiteral("[100:00:00] S: x"));
}
