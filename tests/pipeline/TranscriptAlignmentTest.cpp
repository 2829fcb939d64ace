#include "pipeline/TranscriptAlignment.h"

#include "core/APIClientError.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace {

const QString kChanged
    = QStringLiteral("Alignment changed the transcript. Audio and original text are kept.");
const QString kTimestamps = QStringLiteral("Invalid alignment timestamps. Audio and transcript are kept.");
const QString kIncomplete = QStringLiteral("Word alignment is not complete.");
const QString kUnsafe
    = QStringLiteral("Could not safely reconcile overlapping transcription parts. Audio and text are kept. "
                     "Use Transcribe without speakers to recover a continuous transcript.");
const std::vector<SpeakerSegment> kOneSpeaker { { 0, 100000, QStringLiteral("A") } };

std::optional<double> parsedTime(const char*& text)
{
    if (*text == '?') {
        ++text;
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    text = end;
    return value;
}

// Words written "text@start-end" and joined by '|'; a word without '@' is
// untimed and '?' leaves out one of its times. Times are moved back by `offset`.
std::vector<AlignedWord> words(const QString& written, double offset = 0)
{
    std::vector<AlignedWord> result;
    for (const QString& item : written.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const qsizetype at = item.lastIndexOf(QLatin1Char('@'));
        if (at < 0) {
            result.push_back(AlignedWord { item, std::nullopt, std::nullopt });
            continue;
        }
        const QByteArray times = item.mid(at + 1).toLatin1();
        const char* text = times.constData();
        const auto start = parsedTime(text);
        const auto end = parsedTime(++text);
        result.push_back(AlignedWord { item.left(at), start ? std::optional(*start - offset) : std::nullopt,
            end ? std::optional(*end - offset) : std::nullopt });
    }
    return result;
}

QString joined(const std::vector<AlignedWord>& words)
{
    QString text;
    for (const AlignedWord& word : words) {
        text += word.text;
    }
    return text;
}

// A chunk whose words are given on the recording's timeline; they are stored
// relative to the chunk's file.
AudioChunk chunk(double start, double end, std::optional<double> audioStart, std::optional<double> audioEnd,
    const QString& written)
{
    const auto timed = words(written, audioStart.value_or(start));
    return AudioChunk { QStringLiteral("chunk.m4a"), start, end, joined(timed), std::nullopt, audioStart,
        audioEnd, timed };
}

// The message of the APIClientError the call throws, or what it returns.
QString outcome(const std::function<QString()>& call)
{
    try {
        return call();
    } catch (const APIClientError& error) {
        EXPECT_FALSE(error.statusCode().has_value());
        return error.message();
    }
}

// Two chunks whose cores meet at 30 and whose files share 27.5 to 32.5.
std::vector<AudioChunk> shared(const QString& previous, const QString& current)
{
    return { chunk(0, 30, 0, 32.5, previous), chunk(30, 60, 27.5, 60, current) };
}

QString merged(
    const std::vector<AudioChunk>& chunks, const std::vector<SpeakerSegment>& speakers = kOneSpeaker)
{
    return outcome([&] { return TranscriptAlignment::merged(chunks, speakers); });
}

} // namespace

TEST(TranscriptAlignmentValidate, WordsMustSpellTheTextAndKeepTheirTimesInOrderWithinTheFile)
{
    const struct
    {
        QString words;
        std::optional<QString> text; // none: the words' own text
        double duration;
        QString expected;
    } cases[] = {
        // Outer white space of the text may differ.
        { " Hello,@0.1-0.4| world.@0.5-0.9|\nBye", QStringLiteral("Hello, world.\nBye\u2029 "), 1,
            QString() },
        { "Hello@0.1-0.4| world@0.5-0.9", QStringLiteral("Hello world."), 1, kChanged },
        { "Hello@0.1-0.4| world@0.5-0.9", QStringLiteral("Hello  world"), 1, kChanged },
        { "Hello@0.1-0.4| world@0.5-0.9", QStringLiteral("hello world"), 1, kChanged },
        { "Hello@0.1-0.4| world@0.5-0.9", QStringLiteral("Hello"), 1, kChanged },
        { "Hello@0.1-0.4| world@0.5-0.9", QString(), 1, kChanged },
        // Ends may lie a quarter second past the file.
        { "word@9.5-10.25", {}, 10, QString() },
        { "word@9.5-10.26", {}, 10, kTimestamps },
        // Equal starts are fine, and untimed words between.
        { "a@0-1| b| c@0-0.5| d@3-4", {}, 4, QString() },
        { "a@2-3| b@1.5-4", {}, 10, kTimestamps },
        { "a@2-2", {}, 10, kTimestamps },
        { "a@3-2", {}, 10, kTimestamps },
        { "a@-0.1-1", {}, 10, kTimestamps },
        { "a@1-?", {}, 10, kTimestamps },
        { "a@?-1", {}, 10, kTimestamps },
        { "a@nan-1", {}, 10, kTimestamps },
        { "a@1-nan", {}, 10, kTimestamps },
        { "a@1-inf", {}, 10, kTimestamps },
        { "a@-inf-1", {}, 10, kTimestamps },
        // An untimed word does not reset the order the timed ones keep.
        { "a@5-6| b| c@4-7", {}, 10, kTimestamps },
    };
    for (const auto& test : cases) {
        const auto spelt = words(test.words);
        EXPECT_EQ(outcome([&] {
            TranscriptAlignment::validate(spelt, test.text.value_or(joined(spelt)), test.duration);
            return QString();
        }),
            test.expected)
            << test.words.toStdString() << " against " << test.text.value_or("itself").toStdString();
    }
}

TEST(TranscriptAlignmentMerge, RefusesChunksThatAreNotAlignedOrLackTheirText)
{
    AudioChunk notAligned = chunk(30, 60, {}, {}, "");
    notAligned.words.reset();
    EXPECT_EQ(merged({ chunk(0, 30, {}, {}, "Hi@1-2"), notAligned }), kIncomplete);
    AudioChunk textless = chunk(0, 30, {}, {}, "Hi@1-2");
    textless.text.reset();
    EXPECT_EQ(merged({ textless }), kChanged);
}

// The copies are spelt differently so the output shows whose were kept.
TEST(TranscriptAlignmentMerge, AnchorsOverlappingChunksOnTheirSharedWordsOrRefuses)
{
    const QString deseretUpper = QString::fromUcs4(U"\U00010400\U00010401");
    const QString deseretLower = QString::fromUcs4(U"\U00010428\U00010429");
    const struct
    {
        const char* what;
        std::vector<AudioChunk> chunks;
        QString expected;
    } cases[] = {
        { "nothing said", {}, QString() },
        { "silent chunks", shared("", ""), QString() },
        // The second file runs 27.5 to 60, 32.5 s long: 60.25 is the last end allowed.
        { "end in time", shared("", "late@59.5-60.25"), QStringLiteral("[00:00:59] Speaker 1: late") },
        { "end too late", shared("", "late@59.5-60.26"), kTimestamps },
        { "no context",
            { chunk(0, 30, {}, {}, "Good@1-1.4| morning.@1.5-2"),
                chunk(30, 60, {}, {}, "Shall@30.2-30.5| we@30.6-30.8") },
            QStringLiteral("[00:00:01] Speaker 1: Good morning. Shall we") },
        // Here the cores meet at 295, the files share 292.5 to 297.5.
        { "pair nearest the boundary",
            { chunk(270, 295, 267.5, 297.5,
                  "We@290-290.3| alpha@293-293.3| bravo@293.4-293.8| charlie@294.9-295.2| "
                  "delta,@295.3-295.7"),
                chunk(295, 320, 292.5, 322.5,
                    "Alpha@293.1-293.35| Bravo@293.5-293.8| Charlie@294.8-295.2| Delta@295.4-295.7| "
                    "echo.@296-296.4") },
            QStringLiteral("[00:04:50] Speaker 1: We alpha bravo charlie Delta echo.") },
        // Pairs ending at 294.5 and 295.5 are both half a second from the boundary.
        { "equal scores keep the earliest",
            { chunk(270, 295, 267.5, 297.5, "one@294-294.3| two@294.5-294.8| three@295.5-295.8"),
                chunk(295, 320, 292.5, 322.5, "ONE@294-294.3| TWO@294.5-294.8| THREE@295.5-295.8") },
            QStringLiteral("[00:04:54] Speaker 1: one two THREE") },
        // Case, NFKC compatibility forms and letters beyond the Basic Plane fold.
        { "case",
            shared("xHello,@29-29.4| Hello,@29.6-30| last@31-31.3",
                "xhello@29.1-29.4| hello@29.5-30| Last@31-31.3"),
            QStringLiteral("[00:00:29] Speaker 1: xHello, Hello, Last") },
        { "full width",
            shared("x\uFF21\uFF22\uFF23@29-29.4| \uFF21\uFF22\uFF23@29.6-30| last@31-31.3",
                "xabc!@29.1-29.4| abc!@29.5-30| Last@31-31.3"),
            QStringLiteral("[00:00:29] Speaker 1: x\uFF21\uFF22\uFF23 \uFF21\uFF22\uFF23 Last") },
        { "ligature",
            { chunk(0, 30, 0, 32.5, "x\uFB01ne@29-29.4| \uFB01ne@29.6-30| last@31-31.3"),
                chunk(30, 60, 27.5, 60, "x\"Fine\"@29.1-29.4| \"Fine\"@29.5-30| Last@31-31.3") },
            QStringLiteral("[00:00:29] Speaker 1: x\uFB01ne \uFB01ne Last") },
        { "deseret",
            shared(QStringLiteral("x%1@29-29.4| %1@29.6-30| last@31-31.3").arg(deseretUpper),
                QStringLiteral("x%1?@29.1-29.4| %1?@29.5-30| Last@31-31.3").arg(deseretLower)),
            QStringLiteral("[00:00:29] Speaker 1: x%1 %1 Last").arg(deseretUpper) },
        { "silent shared region", shared("Before@26-27.5", "after@32.5-33"),
            QStringLiteral("[00:00:26] Speaker 1: Before after") },
        { "timed edges", shared("Before@20-21", "after@40-41"),
            QStringLiteral("[00:00:20] Speaker 1: Before after") },
        { "untimed last word", shared("Before@20-21| um", "after@40-41"), kUnsafe },
        { "untimed first word", shared("Before@20-21", "Um| after@40-41"), kUnsafe },
        // Punctuation-only words have no key and never anchor.
        { "punctuation",
            shared("Yes@29-29.3| \u2014@29.4-29.6| ...@29.7-29.9",
                "Yes@29-29.3| \u2014@29.4-29.6| ...@29.7-29.9"),
            kUnsafe },
        { "more than a second apart",
            shared("Yes@29-29.3| right@29.4-29.6",
                "Yes@28-28.3| right@28.3-28.5| Yes@30.1-30.3| right@30.4-30.6"),
            kUnsafe },
        // The current file heard only the tail of the pair's first word.
        { "pair begins before the region",
            shared("alpha@27.2-27.7| bravo@27.8-28.2| sea@29-29.4",
                "alpha@27.5-27.7| bravo@27.8-28.2| see@29-29.4"),
            kUnsafe },
        { "single word", shared("Yes@29-29.3", "Yes@29-29.3"), kUnsafe },
    };
    for (const auto& test : cases) {
        EXPECT_EQ(merged(test.chunks), test.expected) << test.what;
    }
}

// A short middle chunk shares context with both neighbours. Words it already
// gave up to the first boundary must not anchor the second one.
TEST(TranscriptAlignmentMerge, WordsCutAtOneBoundaryDoNotAnchorTheNext)
{
    const AudioChunk first = chunk(0, 30, 0, 32.5, "Won@30.6-31| two@31.2-31.6| three@31.8-32.2");
    const AudioChunk shortMiddle = chunk(
        30, 33, 27.5, 35.5, "one@30.6-31| two@31.2-31.6| three@31.8-32.2| four@33.5-33.9| five@34.1-34.5");
    const QString last = "one@30.6-31| two@31.2-31.6| tree@31.8-32.2| four@33.5-33.9| %1@34.1-34.5";
    EXPECT_EQ(merged({ first, shortMiddle, chunk(33, 60, 30.5, 60, last.arg("fives")) }), kUnsafe);
    EXPECT_EQ(merged({ first, shortMiddle, chunk(33, 60, 30.5, 60, last.arg("five")) }),
        QStringLiteral("[00:00:30] Speaker 1: Won two three four five"));
}

TEST(TranscriptAlignmentSpeakers, GivesAWordTheFirstSegmentCoveringMoreThanHalfOfIt)
{
    const auto speakerOf = [](const std::vector<SpeakerSegment>& segments) {
        return merged({ chunk(0, 30, {}, {}, "word@10-12") }, segments)
            .section(QStringLiteral("] "), 1)
            .section(QLatin1Char(':'), 0, 0);
    };
    const QString a = QStringLiteral("A");
    const QString b = QStringLiteral("B");
    const QString c = QStringLiteral("C");
    EXPECT_EQ(speakerOf({}), QStringLiteral("Unassigned"));
    EXPECT_EQ(speakerOf({ { 9, 11, a }, { 11, 13, b } }), QStringLiteral("Unassigned"));
    EXPECT_EQ(speakerOf({ { 9, 10.5, a }, { 10.5, 13, b } }), QStringLiteral("Speaker 2"));
    EXPECT_EQ(speakerOf({ { 100, 200, c }, { 10.5, 11.5, a }, { 0, 20, b } }), QStringLiteral("Speaker 3"));
    EXPECT_EQ(speakerOf({ { 100, 200, c }, { 9, 11.5, a }, { 0, 20, b } }), QStringLiteral("Speaker 2"));
    // Inverted and empty segments never cover anything.
    EXPECT_EQ(speakerOf({ { 13, 9, a }, { 11, 11, b } }), QStringLiteral("Unassigned"));

    // Numbered by first appearance in the segment list.
    EXPECT_EQ(merged({ chunk(0, 30, {}, {}, "Hello.@1-2| Hi.@11-12| Bye.@21-22") },
                  { { 20, 30, QStringLiteral("late") }, { 0, 10, QStringLiteral("early") },
                      { 10, 20, QStringLiteral("late") } }),
        QStringLiteral("[00:00:01] Speaker 2: Hello.\n\n[00:00:11] Speaker 1: Hi. Bye."));
}

TEST(TranscriptAlignmentLines, SplitOnSpeakerChangesAndTimedUntimedSwitchesUnderTruncatedTimeStamps)
{
    EXPECT_EQ(
        merged({ chunk(0, 3730, {}, {},
                   " Well,@1-1.5|\nlisten@2-2.5| uh|  hm | now@3-3.5| Sure@6-6.5| then@3725.9-3726.2") },
            { { 0, 5, QStringLiteral("A") }, { 5, 10, QStringLiteral("B") } }),
        QStringLiteral("[00:00:01] Speaker 1: Well,\nlisten\n\n"
                       "[time unavailable] Unassigned: uh  hm \n\n"
                       "[00:00:03] Speaker 1: now\n\n"
                       "[00:00:06] Speaker 2: Sure\n\n"
                       "[01:02:05] Unassigned: then"));

    // Time stamps truncate and leave hours unbounded.
    for (const auto& [seconds, expected] : std::vector<std::pair<double, const char*>> { { 0, "00:00:00" },
             { 59.999, "00:00:59" }, { 300, "00:05:00" }, { 3725.9, "01:02:05" }, { 360000, "100:00:00" } }) {
        EXPECT_EQ(TranscriptAlignment::timeStamp(seconds), QString::fromLatin1(expected)) << seconds;
    }
    // Corrupt records must not make the conversion overflow.
    EXPECT_FALSE(TranscriptAlignment::timeStamp(1e300).isEmpty());
    EXPECT_FALSE(TranscriptAlignment::timeStamp(std::numeric_limits<double>::quiet_NaN()).isEmpty());
}

// The segment lookup avoids a scan per word; it must still pick exactly what
// the plain rule picks, whatever the segments' order, overlap and length.
TEST(TranscriptAlignmentSpeakers, LookupAgreesWithTheFirstCoveringSegmentRule)
{
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> time(0, 100);
        std::uniform_real_distribution<double> length(0, 8);
        std::vector<SpeakerSegment> segments(std::uniform_int_distribution<int>(1, 60)(random));
        QStringList labels;
        for (SpeakerSegment& segment : segments) {
            segment.start = std::round(time(random) * 4) / 4; // shared ends produce exact halves
            segment.end = segment.start + std::round((length(random) - 1) * 4) / 4;
            segment.speaker = QString::number(std::uniform_int_distribution<int>(0, 30)(random));
            if (!labels.contains(segment.speaker)) {
                labels.append(segment.speaker);
            }
        }
        std::vector<AlignedWord> words;
        QStringList expected;
        for (int i = 0; i < 150; ++i) {
            const double start = i * 0.5;
            const double end = start + std::round(length(random) * 4) / 4 + 0.25;
            words.push_back(AlignedWord { QStringLiteral(" w%1").arg(i), start, end });
            const auto winner = std::find_if(
                segments.begin(), segments.end(), [&](const SpeakerSegment& segment) {
                    return std::min(end, segment.end) - std::max(start, segment.start) > (end - start) * 0.5;
                });
            // Each name maps back to its label by order of first appearance.
            expected.append(winner == segments.end()
                    ? QStringLiteral("Unassigned")
                    : QStringLiteral("Speaker %1").arg(labels.indexOf(winner->speaker) + 1));
        }
        const auto chunkOfWords = AudioChunk { QStringLiteral("chunk.m4a"), 0, 120, joined(words),
            std::nullopt, std::nullopt, std::nullopt, words };
        QStringList actual;
        for (const QString& line : merged({ chunkOfWords }, segments).split(QStringLiteral("\n\n"))) {
            const QString name = line.section(QStringLiteral("] "), 1).section(QStringLiteral(": "), 0, 0);
            for (qsizetype i = line.section(QStringLiteral(": "), 1).split(QLatin1Char(' ')).size(); i > 0;
                 --i) {
                actual.append(name);
            }
        }
        ASSERT_EQ(actual, expected) << "seed " << seed;
    }
}
