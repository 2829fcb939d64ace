#include "pipeline/TranscriptAlignment.h"

#include "core/APIClientError.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cmath>
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

AlignedWord timed(const QString& text, double start, double end)
{
    return AlignedWord { text, start, end };
}

AlignedWord untimed(const QString& text)
{
    return AlignedWord { text, std::nullopt, std::nullopt };
}

QString joined(const std::vector<AlignedWord>& words)
{
    QString text;
    for (const AlignedWord& word : words) {
        text += word.text;
    }
    return text;
}

// A chunk whose words are given on the recording's timeline, the way the
// tests reason about them; they are stored relative to the chunk file.
AudioChunk chunkOf(double start, double end, std::optional<double> audioStart, std::optional<double> audioEnd,
    std::vector<AlignedWord> timelineWords)
{
    const double offset = audioStart.value_or(start);
    const QString text = joined(timelineWords);
    for (AlignedWord& word : timelineWords) {
        if (word.start) {
            *word.start -= offset;
        }
        if (word.end) {
            *word.end -= offset;
        }
    }
    return AudioChunk { QStringLiteral("chunk.m4a"), start, end, text, std::nullopt, audioStart, audioEnd,
        timelineWords };
}

// The message of the APIClientError the call throws; empty when it succeeds.
QString failureOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const APIClientError& error) {
        EXPECT_FALSE(error.statusCode().has_value());
        return error.message();
    }
    return QString();
}

QString mergedFailure(const std::vector<AudioChunk>& chunks, const std::vector<SpeakerSegment>& speakers = {})
{
    return failureOf([&] { TranscriptAlignment::merged(chunks, speakers); });
}

const std::vector<SpeakerSegment> kOneSpeaker { { 0, 100000, QStringLiteral("A") } };

} // namespace

TEST(TranscriptAlignmentValidate, AcceptsWordsThatSpellTheTextUpToOuterWhiteSpace)
{
    const std::vector<AlignedWord> words { timed(QStringLiteral(" Hello,"), 0.1, 0.4),
        timed(QStringLiteral(" world."), 0.5, 0.9), untimed(QStringLiteral("\nBye")) };
    EXPECT_EQ(failureOf([&] {
        TranscriptAlignment::validate(words, QStringLiteral("Hello, world.\nBye\u2029 "), 1.0);
    }),
        QString());
}

TEST(TranscriptAlignmentValidate, RejectsWordsThatChangeTheText)
{
    const std::vector<AlignedWord> words { timed(QStringLiteral("Hello"), 0.1, 0.4),
        timed(QStringLiteral(" world"), 0.5, 0.9) };
    for (const QString& text : { QStringLiteral("Hello world."), QStringLiteral("Hello  world"),
             QStringLiteral("hello world"), QStringLiteral("Hello"), QString() }) {
        EXPECT_EQ(failureOf([&] { TranscriptAlignment::validate(words, text, 1.0); }), kChanged)
            << text.toStdString();
    }
}

TEST(TranscriptAlignmentValidate, AllowsEndsAQuarterSecondPastTheFile)
{
    const auto endingAt = [](double end) {
        return failureOf([&] {
            TranscriptAlignment::validate(
                { timed(QStringLiteral("word"), 9.5, end) }, QStringLiteral("word"), 10.0);
        });
    };
    EXPECT_EQ(endingAt(10.25), QString());
    EXPECT_EQ(endingAt(10.26), kTimestamps);
}

TEST(TranscriptAlignmentValidate, RejectsBrokenTimings)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<AlignedWord>> broken {
        { timed(QStringLiteral("a"), 2, 3), timed(QStringLiteral(" b"), 1.5, 4) }, // start goes back
        { timed(QStringLiteral("a"), 2, 2) }, // no length
        { timed(QStringLiteral("a"), 3, 2) }, // ends before it starts
        { timed(QStringLiteral("a"), -0.1, 1) }, // before the file
        { AlignedWord { QStringLiteral("a"), 1.0, std::nullopt } },
        { AlignedWord { QStringLiteral("a"), std::nullopt, 1.0 } },
        { timed(QStringLiteral("a"), nan, 1) },
        { timed(QStringLiteral("a"), 1, nan) },
        { timed(QStringLiteral("a"), 1, infinity) },
        { timed(QStringLiteral("a"), -infinity, 1) },
        // An untimed word does not reset the order the timed ones must keep.
        { timed(QStringLiteral("a"), 5, 6), untimed(QStringLiteral(" b")),
            timed(QStringLiteral(" c"), 4, 7) },
    };
    for (const auto& words : broken) {
        EXPECT_EQ(failureOf([&] { TranscriptAlignment::validate(words, joined(words), 10.0); }), kTimestamps)
            << joined(words).toStdString();
    }
}

TEST(TranscriptAlignmentValidate, AcceptsEqualStartsAndUntimedWordsBetween)
{
    const std::vector<AlignedWord> words { timed(QStringLiteral("a"), 0, 1), untimed(QStringLiteral(" b")),
        timed(QStringLiteral(" c"), 0, 0.5), timed(QStringLiteral(" d"), 3, 4) };
    EXPECT_EQ(failureOf([&] { TranscriptAlignment::validate(words, joined(words), 4.0); }), QString());
}

TEST(TranscriptAlignmentMerge, EmptyInputGivesAnEmptyTranscript)
{
    EXPECT_EQ(TranscriptAlignment::merged({}, kOneSpeaker), QString());
    const std::vector<AudioChunk> silent { chunkOf(0, 30, 0, 32.5, {}), chunkOf(30, 60, 27.5, 60, {}) };
    EXPECT_EQ(TranscriptAlignment::merged(silent, kOneSpeaker), QString());
}

TEST(TranscriptAlignmentMerge, RefusesChunksThatAreNotAligned)
{
    AudioChunk notAligned = chunkOf(30, 60, std::nullopt, std::nullopt, {});
    notAligned.words.reset();
    const std::vector<AudioChunk> chunks {
        chunkOf(0, 30, std::nullopt, std::nullopt, { timed(QStringLiteral("Hi"), 1, 2) }), notAligned
    };
    EXPECT_EQ(mergedFailure(chunks), kIncomplete);
}

TEST(TranscriptAlignmentMerge, ValidatesEveryChunkAgainstItsOwnFile)
{
    AudioChunk textless = chunkOf(0, 30, std::nullopt, std::nullopt, { timed(QStringLiteral("Hi"), 1, 2) });
    textless.text.reset();
    EXPECT_EQ(mergedFailure({ textless }), kChanged);

    // The second file runs 27.5 to 60: 32.5 s long, so 60.25 on the timeline is
    // the last end allowed.
    const auto endingAt = [](double end) {
        return mergedFailure({ chunkOf(0, 30, 0, 32.5, {}),
            chunkOf(30, 60, 27.5, 60, { timed(QStringLiteral("late"), 59.5, end) }) });
    };
    EXPECT_EQ(endingAt(60.25), QString());
    EXPECT_EQ(endingAt(60.26), kTimestamps);
}

TEST(TranscriptAlignmentMerge, ConcatenatesChunksWithoutContext)
{
    const std::vector<AudioChunk> chunks {
        chunkOf(0, 30, std::nullopt, std::nullopt,
            { timed(QStringLiteral("Good"), 1, 1.4), timed(QStringLiteral(" morning."), 1.5, 2) }),
        chunkOf(30, 60, std::nullopt, std::nullopt,
            { timed(QStringLiteral("Shall"), 30.2, 30.5), timed(QStringLiteral(" we"), 30.6, 30.8) }),
    };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, kOneSpeaker),
        QStringLiteral("[00:00:01] Speaker 1: Good morning. Shall we"));
}

// The previous core ends and the current one starts at 295.0; the files share
// 292.5 to 297.5. The copies are spelt differently so the output shows whose
// words were kept.
TEST(TranscriptAlignmentMerge, AnchorsOnThePairNearestTheCoreBoundary)
{
    const std::vector<AudioChunk> chunks {
        chunkOf(270, 295, 267.5, 297.5,
            { timed(QStringLiteral("We"), 290.0, 290.3), timed(QStringLiteral(" alpha"), 293.0, 293.3),
                timed(QStringLiteral(" bravo"), 293.4, 293.8),
                timed(QStringLiteral(" charlie"), 294.9, 295.2),
                timed(QStringLiteral(" delta,"), 295.3, 295.7) }),
        chunkOf(295, 320, 292.5, 322.5,
            { timed(QStringLiteral("Alpha"), 293.1, 293.35), timed(QStringLiteral(" Bravo"), 293.5, 293.8),
                timed(QStringLiteral(" Charlie"), 294.8, 295.2),
                timed(QStringLiteral(" Delta"), 295.4, 295.7),
                timed(QStringLiteral(" echo."), 296.0, 296.4) }),
    };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, kOneSpeaker),
        QStringLiteral("[00:04:50] Speaker 1: We alpha bravo charlie Delta echo."));
}

TEST(TranscriptAlignmentMerge, EqualScoresKeepTheEarliestPair)
{
    // Pairs ending at 294.5 and 295.5 are both half a second from the boundary.
    const std::vector<AudioChunk> chunks {
        chunkOf(270, 295, 267.5, 297.5,
            { timed(QStringLiteral("one"), 294.0, 294.3), timed(QStringLiteral(" two"), 294.5, 294.8),
                timed(QStringLiteral(" three"), 295.5, 295.8) }),
        chunkOf(295, 320, 292.5, 322.5,
            { timed(QStringLiteral("ONE"), 294.0, 294.3), timed(QStringLiteral(" TWO"), 294.5, 294.8),
                timed(QStringLiteral(" THREE"), 295.5, 295.8) }),
    };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, kOneSpeaker),
        QStringLiteral("[00:04:54] Speaker 1: one two THREE"));
}

TEST(TranscriptAlignmentMerge, MatchesAcrossCaseCompatibilityFormsAndSupplementaryLetters)
{
    // Full-width letters and ligatures fold under NFKC; Deseret letters lie
    // outside the Basic Multilingual Plane and have case.
    const QString deseretUpper = QString::fromUcs4(U"\U00010400\U00010401");
    const QString deseretLower = QString::fromUcs4(U"\U00010428\U00010429");
    const std::vector<std::pair<QString, QString>> spellings {
        { QStringLiteral("Hello,"), QStringLiteral("hello") },
        { QStringLiteral("\uFF21\uFF22\uFF23"), QStringLiteral("abc!") },
        { QStringLiteral("\uFB01ne"), QStringLiteral("\"Fine\"") },
        { deseretUpper, deseretLower + QStringLiteral("?") },
    };
    for (const auto& [previousSpelling, currentSpelling] : spellings) {
        const std::vector<AudioChunk> chunks {
            chunkOf(0, 30, 0, 32.5,
                { timed(QStringLiteral("x") + previousSpelling, 29.0, 29.4),
                    timed(QStringLiteral(" ") + previousSpelling, 29.6, 30.0),
                    timed(QStringLiteral(" last"), 31.0, 31.3) }),
            chunkOf(30, 60, 27.5, 60,
                { timed(QStringLiteral("x") + currentSpelling, 29.1, 29.4),
                    timed(QStringLiteral(" ") + currentSpelling, 29.5, 30.0),
                    timed(QStringLiteral(" Last"), 31.0, 31.3) }),
        };
        EXPECT_EQ(TranscriptAlignment::merged(chunks, kOneSpeaker),
            QStringLiteral("[00:00:29] Speaker 1: x%1 %1 Last").arg(previousSpelling))
            << currentSpelling.toStdString();
    }
}

TEST(TranscriptAlignmentMerge, RefusesSpeechInTheSharedRegionWithoutAnAnchor)
{
    const AudioChunk previous = chunkOf(0, 30, 0, 32.5,
        { timed(QStringLiteral("Yes"), 29.0, 29.3), timed(QStringLiteral(" \u2014"), 29.4, 29.6),
            timed(QStringLiteral(" ..."), 29.7, 29.9) });
    // Punctuation-only words have no key and never anchor.
    const AudioChunk sameWords = chunkOf(30, 60, 27.5, 60,
        { timed(QStringLiteral("Yes"), 29.0, 29.3), timed(QStringLiteral(" \u2014"), 29.4, 29.6),
            timed(QStringLiteral(" ..."), 29.7, 29.9) });
    EXPECT_EQ(mergedFailure({ previous, sameWords }), kUnsafe);

    // Same words, but more than a second apart in the two files.
    const AudioChunk drifted = chunkOf(30, 60, 27.5, 60,
        { timed(QStringLiteral("Yes"), 28.0, 28.3), timed(QStringLiteral(" right"), 28.3, 28.5),
            timed(QStringLiteral(" Yes"), 30.1, 30.3), timed(QStringLiteral(" right"), 30.4, 30.6) });
    const AudioChunk previousPair = chunkOf(0, 30, 0, 32.5,
        { timed(QStringLiteral("Yes"), 29.0, 29.3), timed(QStringLiteral(" right"), 29.4, 29.6) });
    EXPECT_EQ(mergedFailure({ previousPair, drifted }), kUnsafe);

    // A pair that begins before the shared region, where the current file
    // heard only the tail of its first word, is no anchor.
    const AudioChunk previousClipped = chunkOf(0, 30, 0, 32.5,
        { timed(QStringLiteral("alpha"), 27.2, 27.7), timed(QStringLiteral(" bravo"), 27.8, 28.2),
            timed(QStringLiteral(" sea"), 29.0, 29.4) });
    const AudioChunk currentClipped = chunkOf(30, 60, 27.5, 60,
        { timed(QStringLiteral("alpha"), 27.5, 27.7), timed(QStringLiteral(" bravo"), 27.8, 28.2),
            timed(QStringLiteral(" see"), 29.0, 29.4) });
    EXPECT_EQ(mergedFailure({ previousClipped, currentClipped }), kUnsafe);

    // A single word in the region cannot form a pair.
    const AudioChunk lone = chunkOf(30, 60, 27.5, 60, { timed(QStringLiteral("Yes"), 29.0, 29.3) });
    EXPECT_EQ(mergedFailure({ chunkOf(0, 30, 0, 32.5, { timed(QStringLiteral("Yes"), 29.0, 29.3) }), lone }),
        kUnsafe);
}

// A short middle chunk shares context with both neighbours. Words it already
// gave up to the first boundary must not anchor the second one.
TEST(TranscriptAlignmentMerge, WordsCutAtOneBoundaryDoNotAnchorTheNext)
{
    const AudioChunk first = chunkOf(0, 30, 0, 32.5,
        { timed(QStringLiteral("Won"), 30.6, 31.0), timed(QStringLiteral(" two"), 31.2, 31.6),
            timed(QStringLiteral(" three"), 31.8, 32.2) });
    const AudioChunk shortMiddle = chunkOf(30, 33, 27.5, 35.5,
        { timed(QStringLiteral("one"), 30.6, 31.0), timed(QStringLiteral(" two"), 31.2, 31.6),
            timed(QStringLiteral(" three"), 31.8, 32.2), timed(QStringLiteral(" four"), 33.5, 33.9),
            timed(QStringLiteral(" five"), 34.1, 34.5) });
    const AudioChunk last = chunkOf(33, 60, 30.5, 60,
        { timed(QStringLiteral("one"), 30.6, 31.0), timed(QStringLiteral(" two"), 31.2, 31.6),
            timed(QStringLiteral(" tree"), 31.8, 32.2), timed(QStringLiteral(" four"), 33.5, 33.9),
            timed(QStringLiteral(" fives"), 34.1, 34.5) });
    EXPECT_EQ(mergedFailure({ first, shortMiddle, last }), kUnsafe);

    AudioChunk heardWell = last;
    heardWell.words->at(4).text = QStringLiteral(" five");
    heardWell.text = joined(*heardWell.words);
    EXPECT_EQ(TranscriptAlignment::merged({ first, shortMiddle, heardWell }, kOneSpeaker),
        QStringLiteral("[00:00:30] Speaker 1: Won two three four five"));
}

TEST(TranscriptAlignmentMerge, AcceptsASilentSharedRegion)
{
    const std::vector<AudioChunk> chunks {
        chunkOf(0, 30, 0, 32.5, { timed(QStringLiteral("Before"), 26.0, 27.5) }),
        chunkOf(30, 60, 27.5, 60, { timed(QStringLiteral("after"), 32.5, 33.0) }),
    };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, kOneSpeaker),
        QStringLiteral("[00:00:26] Speaker 1: Before after"));
}

TEST(TranscriptAlignmentMerge, RefusesUntimedWordsAtTheEdgesOfASharedRegion)
{
    const AudioChunk timedPrevious = chunkOf(0, 30, 0, 32.5, { timed(QStringLiteral("Before"), 20, 21) });
    const AudioChunk timedCurrent = chunkOf(30, 60, 27.5, 60, { timed(QStringLiteral("after"), 40, 41) });
    const AudioChunk untimedLast = chunkOf(
        0, 30, 0, 32.5, { timed(QStringLiteral("Before"), 20, 21), untimed(QStringLiteral(" um")) });
    const AudioChunk untimedFirst = chunkOf(
        30, 60, 27.5, 60, { untimed(QStringLiteral("Um")), timed(QStringLiteral(" after"), 40, 41) });
    EXPECT_EQ(mergedFailure({ untimedLast, timedCurrent }), kUnsafe);
    EXPECT_EQ(mergedFailure({ timedPrevious, untimedFirst }), kUnsafe);
    EXPECT_EQ(mergedFailure({ timedPrevious, timedCurrent }), QString());
}

TEST(TranscriptAlignmentSpeakers, GivesAWordTheFirstSegmentCoveringMoreThanHalfOfIt)
{
    const auto speakerOf = [](const std::vector<SpeakerSegment>& segments) {
        const QString line = TranscriptAlignment::merged(
            { chunkOf(0, 30, std::nullopt, std::nullopt, { timed(QStringLiteral("word"), 10, 12) }) },
            segments);
        return line.section(QStringLiteral("] "), 1).section(QLatin1Char(':'), 0, 0);
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
}

TEST(TranscriptAlignmentSpeakers, NumbersSpeakersByFirstAppearanceInTheSegmentList)
{
    const std::vector<SpeakerSegment> segments { { 20, 30, QStringLiteral("late") },
        { 0, 10, QStringLiteral("early") }, { 10, 20, QStringLiteral("late") } };
    const std::vector<AudioChunk> chunks { chunkOf(0, 30, std::nullopt, std::nullopt,
        { timed(QStringLiteral("Hello."), 1, 2), timed(QStringLiteral(" Hi."), 11, 12),
            timed(QStringLiteral(" Bye."), 21, 22) }) };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, segments),
        QStringLiteral("[00:00:01] Speaker 2: Hello.\n\n[00:00:11] Speaker 1: Hi. Bye."));
}

TEST(TranscriptAlignmentLines, SplitsOnSpeakerChangesAndOnTimedUntimedSwitches)
{
    const std::vector<SpeakerSegment> segments { { 0, 5, QStringLiteral("A") },
        { 5, 10, QStringLiteral("B") } };
    const std::vector<AudioChunk> chunks { chunkOf(0, 3730, std::nullopt, std::nullopt,
        { timed(QStringLiteral(" Well,"), 1, 1.5), timed(QStringLiteral("\nlisten"), 2, 2.5),
            untimed(QStringLiteral(" uh")), untimed(QStringLiteral("  hm ")),
            timed(QStringLiteral(" now"), 3, 3.5), timed(QStringLiteral(" Sure"), 6, 6.5),
            timed(QStringLiteral(" then"), 3725.9, 3726.2) }) };
    EXPECT_EQ(TranscriptAlignment::merged(chunks, segments),
        QStringLiteral("[00:00:01] Speaker 1: Well,\nlisten\n\n"
                       "[time unavailable] Unassigned: uh  hm \n\n"
                       "[00:00:03] Speaker 1: now\n\n"
                       "[00:00:06] Speaker 2: Sure\n\n"
                       "[01:02:05] Unassigned: then"));
}

TEST(TranscriptAlignmentLines, TimeStampsTruncateAndLeaveHoursUnbounded)
{
    EXPECT_EQ(TranscriptAlignment::timeStamp(0), QStringLiteral("00:00:00"));
    EXPECT_EQ(TranscriptAlignment::timeStamp(59.999), QStringLiteral("00:00:59"));
    EXPECT_EQ(TranscriptAlignment::timeStamp(300), QStringLiteral("00:05:00"));
    EXPECT_EQ(TranscriptAlignment::timeStamp(3725.9), QStringLiteral("01:02:05"));
    EXPECT_EQ(TranscriptAlignment::timeStamp(360000), QStringLiteral("100:00:00"));
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
        for (SpeakerSegment& segment : segments) {
            segment.start = std::round(time(random) * 4) / 4; // shared ends produce exact halves
            segment.end = segment.start + std::round((length(random) - 1) * 4) / 4;
            segment.speaker = QString::number(std::uniform_int_distribution<int>(0, 30)(random));
        }
        std::vector<AlignedWord> words;
        QStringList expectedSpeakers;
        for (int i = 0; i < 150; ++i) {
            const double start = i * 0.5;
            const double end = start + std::round(length(random) * 4) / 4 + 0.25;
            words.push_back(timed(QStringLiteral(" w%1").arg(i), start, end));
            std::optional<size_t> winner;
            for (size_t s = 0; s < segments.size() && !winner; ++s) {
                const double overlap = std::min(end, segments[s].end) - std::max(start, segments[s].start);
                if (overlap > (end - start) * 0.5) {
                    winner = s;
                }
            }
            expectedSpeakers.append(winner ? segments[*winner].speaker : QString());
        }
        const QString transcript
            = TranscriptAlignment::merged({ chunkOf(0, 120, std::nullopt, std::nullopt, words) }, segments);

        // Map each name back to its label through the order of first appearance.
        QStringList labels;
        for (const SpeakerSegment& segment : segments) {
            if (!labels.contains(segment.speaker)) {
                labels.append(segment.speaker);
            }
        }
        QStringList actualSpeakers;
        for (const QString& line : transcript.split(QStringLiteral("\n\n"))) {
            const QString name = line.section(QStringLiteral("] "), 1).section(QStringLiteral(": "), 0, 0);
            const QString label = name == QStringLiteral("Unassigned")
                ? QString()
                : labels.at(name.section(QLatin1Char(' '), 1).toInt() - 1);
            const qsizetype count = line.section(QStringLiteral(": "), 1).split(QLatin1Char(' ')).size();
            for (qsizetype i = 0; i < count; ++i) {
                actualSpeakers.append(label);
            }
        }
        ASSERT_EQ(actualSpeakers, expectedSpeakers) << "seed " << seed;
    }
}
