#include "export/TranscriptTurns.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using Turns = std::vector<TranscriptTurn>;

TranscriptTurn timed(double start, const QString& speaker, const QString& text)
{
    return TranscriptTurn { .start = start, .speaker = speaker, .text = text };
}

TranscriptTurn untimed(const QString& speaker, const QString& text)
{
    return TranscriptTurn { .start = std::nullopt, .speaker = speaker, .text = text };
}

TranscriptTurn plain(const QString& text)
{
    return TranscriptTurn { .start = std::nullopt, .speaker = std::nullopt, .text = text };
}

struct ParseCase
{
    const char* name;
    QString transcript;
    Turns turns;
};

TEST(TranscriptTurnsTest, ParsesAndJoinsBackByteForByte)
{
    const std::vector<ParseCase> cases {
        { "empty", "", {} },
        { "speakers",
            "[00:00:03] Speaker 1: Good morning.\n\n[00:01:05] Speaker 2: Morning: agenda first.\n\n"
            "[101:02:03] Speaker 1: Late.",
            { timed(3, "Speaker 1", "Good morning."), timed(65, "Speaker 2", "Morning: agenda first."),
                timed(101 * 3600 + 2 * 60 + 3, "Speaker 1", "Late.") } },
        { "untimed and unassigned", "[time unavailable] Unassigned: (inaudible)\n\n[00:00:09] Ann Lee: Yes.",
            { untimed("Unassigned", "(inaudible)"), timed(9, "Ann Lee", "Yes.") } },
        { "plain paragraphs", "First thought.\nSame paragraph.\n\nSecond one.",
            { plain("First thought.\nSame paragraph."), plain("Second one.") } },
        // Stamps timeStamp would not write stay plain, so the text comes back unchanged.
        { "odd stamps", "[00:99:00] A: x\n\n[0:00:01] A: y\n\n[00:00:01]A: z\n\n[soon] A: w",
            { plain("[00:99:00] A: x"), plain("[0:00:01] A: y"), plain("[00:00:01]A: z"),
                plain("[soon] A: w") } },
        { "empty words and extra breaks", "[00:00:01] A: \n\n\n\nlast\n\n",
            { timed(1, "A", ""), plain(""), plain("last"), plain("") } },
    };
    for (const ParseCase& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(TranscriptTurns::parsed(test.transcript), test.turns);
        EXPECT_EQ(TranscriptTurns::joined(test.turns), test.transcript);
    }
}

struct RenameCase
{
    const char* name;
    QString from;
    QString to;
    QString expected;
};

TEST(TranscriptTurnsTest, RenamesOnlyTheSpeakerField)
{
    // Words that equal a speaker's name, and a name inside another name, stay.
    const QString transcript = "[00:00:01] Speaker 1: Speaker 2: over to you.\n\n"
                               "[00:00:04] Speaker 2: Thanks Speaker 1.\n\n"
                               "[time unavailable] Speaker 1: Speaker 1 out.\n\n"
                               "[00:00:09] Speaker 10: Me too.";
    const std::vector<RenameCase> cases {
        { "every turn, never the words", "Speaker 1", "Ann",
            "[00:00:01] Ann: Speaker 2: over to you.\n\n"
            "[00:00:04] Speaker 2: Thanks Speaker 1.\n\n"
            "[time unavailable] Ann: Speaker 1 out.\n\n"
            "[00:00:09] Speaker 10: Me too." },
        { "trimmed name with a colon", "Speaker 2", "  Bo: ",
            "[00:00:01] Speaker 1: Speaker 2: over to you.\n\n"
            "[00:00:04] Bo:: Thanks Speaker 1.\n\n"
            "[time unavailable] Speaker 1: Speaker 1 out.\n\n"
            "[00:00:09] Speaker 10: Me too." },
    };
    for (const RenameCase& test : cases) {
        SCOPED_TRACE(test.name);
        const QString renamed = TranscriptTurns::renamedSpeaker(transcript, test.from, test.to);
        EXPECT_EQ(renamed, test.expected);
        EXPECT_EQ(TranscriptTurns::speakerNames(renamed).size(), 3);
    }
}

TEST(TranscriptTurnsTest, RefusesNamesThatWouldNotReadBack)
{
    const QString transcript = "[00:00:01] Speaker 1: Hi.";
    const std::vector<std::pair<QString, QString>> cases {
        { "Speaker 1", "   " },
        { "Speaker 1", "Ann\nLee" },
        { "Speaker 1", "Ann: Lee" },
        { "Speaker 9", "Ann" },
        { "Hi.", "Ann" },
    };
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(to.toStdString());
        EXPECT_THROW(TranscriptTurns::renamedSpeaker(transcript, from, to), std::invalid_argument);
    }
}

TEST(TranscriptTurnsTest, ListsEachSpeakerOnceInOrder)
{
    EXPECT_EQ(TranscriptTurns::speakerNames("[00:00:01] B: x\n\nplain\n\n[00:00:02] A: y\n\n[00:00:03] B: z"),
        QStringList({ "B", "A" }));
}

} // namespace
