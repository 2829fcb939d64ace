#include "api/APIClient.h"

#include <gtest/gtest.h>

namespace {

AudioChunk chunk(double start, std::optional<QString> text, std::optional<QString> speaker = std::nullopt)
{
    return AudioChunk { .filename = QStringLiteral("chunk.m4a"),
        .start = start,
        .end = start + 300,
        .text = std::move(text),
        .speaker = std::move(speaker) };
}

// Trimmed texts joined by a blank line, empty ones left out; a speaker's
// chunk starts with its time, truncated to the second, hours unlimited.
TEST(MergedTranscript, JoinsTheTextsOfTheChunks)
{
    const struct
    {
        std::vector<AudioChunk> chunks;
        QString merged;
    } cases[] = {
        { {}, "" },
        { { chunk(0, QStringLiteral("  First part.\n")), chunk(300, QStringLiteral("\tSecond part. ")) },
            "First part.\n\nSecond part." },
        { { chunk(0, std::nullopt), chunk(300, QStringLiteral(" \n\t ")),
              chunk(600, QStringLiteral("Only words.")), chunk(900, QString()) },
            "Only words." },
        { { chunk(0, std::nullopt) }, "" },
        { { chunk(300, QStringLiteral(" Hello there. "), QStringLiteral("A")),
              chunk(600, QStringLiteral("Plain text.")),
              chunk(3725.99, QStringLiteral("Later."), QStringLiteral("B %1")) },
            "[00:05:00] A: Hello there.\n\nPlain text.\n\n[01:02:05] B %1: Later." },
        { { chunk(59.999, QStringLiteral("x"), QStringLiteral("S")) }, "[00:00:59] S: x" },
        { { chunk(360000, QStringLiteral("x"), QStringLiteral("S")) }, "[100:00:00] S: x" },
    };
    for (const auto& test : cases) {
        EXPECT_EQ(APIClient::mergedTranscript(test.chunks), test.merged);
    }
}

} // namespace
