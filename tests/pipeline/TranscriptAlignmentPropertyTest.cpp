// Generated meetings cut into overlapping chunks the way the chunker cuts
// them: whatever the jitter of each file's word times, the merge must give
// back every spoken word exactly once, in order, with its speaker.
#include "pipeline/TranscriptAlignment.h"

#include "core/APIClientError.h"

#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kContext = 2.5;
constexpr double kMaxJitter = 0.29;
// Around a boundary cut in silence nothing is said, far enough that jitter
// cannot pull a word into the shared region.
constexpr double kSilentZone = kContext + 0.7;
// Around a boundary cut in speech the talk is continuous, so the shared
// region always holds consecutive words both files heard.
constexpr double kSpeechZone = kContext + 1.0;
constexpr double kSegmentPadding = 0.4;

struct TruthWord
{
    QString text;
    double start = 0;
    double end = 0;
    int speaker = 0;
};

struct Meeting
{
    std::vector<TruthWord> words;
    std::vector<SpeakerSegment> segments;
    std::vector<double> boundaries; // core boundaries, first 0 and last the duration
    std::vector<bool> silentBoundary;
};

// Distinct letters-only words, so two files' copies match only each other.
QString wordText(size_t index)
{
    QString text = QStringLiteral("q");
    do {
        text.append(QChar(u'a' + static_cast<char16_t>(index % 26)));
        index /= 26;
    } while (index > 0);
    return text;
}

bool intersectsZone(const Meeting& meeting, bool silent, double zone, double from, double to)
{
    for (size_t i = 1; i + 1 < meeting.boundaries.size(); ++i) {
        const double b = meeting.boundaries[i];
        if (meeting.silentBoundary[i] == silent && from < b + zone && b - zone < to) {
            return true;
        }
    }
    return false;
}

void addSegments(Meeting& meeting, std::mt19937& random)
{
    for (size_t first = 0; first < meeting.words.size();) {
        size_t last = first;
        while (last + 1 < meeting.words.size()
            && meeting.words[last + 1].speaker == meeting.words[first].speaker) {
            ++last;
        }
        meeting.segments.push_back(SpeakerSegment { meeting.words[first].start - kSegmentPadding,
            meeting.words[last].end + kSegmentPadding,
            QStringLiteral("SPEAKER_%1").arg(meeting.words[first].speaker) });
        first = last + 1;
    }
    std::shuffle(meeting.segments.begin(), meeting.segments.end(), random);
}

Meeting generatedMeeting(std::mt19937& random)
{
    using Uniform = std::uniform_real_distribution<double>;
    Meeting meeting;
    const int chunkCount = std::uniform_int_distribution<int>(1, 6)(random);
    meeting.boundaries.push_back(0);
    meeting.silentBoundary.push_back(false);
    for (int i = 0; i < chunkCount; ++i) {
        meeting.boundaries.push_back(meeting.boundaries.back() + Uniform(10, 40)(random));
        meeting.silentBoundary.push_back(Uniform(0, 1)(random) < 0.3);
    }
    const double duration = meeting.boundaries.back();

    double t = Uniform(0, 1)(random);
    int speaker = 0;
    while (true) {
        const double length = Uniform(0.15, 0.6)(random);
        if (t + length > duration) {
            break;
        }
        if (intersectsZone(meeting, true, kSilentZone, t, t + length)) {
            t += 0.1;
            continue;
        }
        meeting.words.push_back(TruthWord { wordText(meeting.words.size()), t, t + length, speaker });
        t += length;
        const double pause = Uniform(1.0, 5.0)(random);
        if (Uniform(0, 1)(random) < 0.15 && !intersectsZone(meeting, false, kSpeechZone, t, t + pause)) {
            t += pause;
            // Turns change only in pauses, which padded segments cannot bridge.
            if (Uniform(0, 1)(random) < 0.5) {
                speaker = (speaker + std::uniform_int_distribution<int>(1, 2)(random)) % 3;
            }
        } else {
            t += Uniform(0.02, 0.4)(random);
        }
    }
    addSegments(meeting, random);
    return meeting;
}

QString spelling(const QString& text, std::mt19937& random)
{
    const QString forms[] = { text, text.left(1).toUpper() + text.mid(1), text + QLatin1Char(','),
        text.toUpper() + QLatin1Char('.') };
    return forms[std::uniform_int_distribution<int>(0, 3)(random)];
}

// What one chunk file heard: the words whose middle lies inside it, clipped
// to it, with jittered times that still form a valid alignment.
AudioChunk heardChunk(const Meeting& meeting, size_t index, std::mt19937& random)
{
    using Uniform = std::uniform_real_distribution<double>;
    const double duration = meeting.boundaries.back();
    AudioChunk chunk { QStringLiteral("chunk-%1.m4a").arg(index), meeting.boundaries[index],
        meeting.boundaries[index + 1], QString(), std::nullopt,
        std::max(0.0, meeting.boundaries[index] - kContext),
        std::min(duration, meeting.boundaries[index + 1] + kContext), std::vector<AlignedWord>() };
    const double fileStart = *chunk.audioStart;
    const double fileLength = *chunk.audioEnd - fileStart;
    double previousStart = 0;
    for (const TruthWord& truth : meeting.words) {
        const double middle = (truth.start + truth.end) / 2;
        if (middle <= fileStart || middle >= *chunk.audioEnd) {
            continue;
        }
        const double clippedStart = std::max(truth.start, fileStart) - fileStart;
        const double clippedEnd = std::min(truth.end, *chunk.audioEnd) - fileStart;
        const double start = std::max(previousStart,
            std::clamp(clippedStart + Uniform(-kMaxJitter, kMaxJitter)(random), 0.0, fileLength));
        const double end = std::clamp(
            clippedEnd + Uniform(-kMaxJitter, kMaxJitter)(random), start + 0.01, fileLength + 0.2);
        const QString separator = chunk.words->empty()
            ? QString()
            : (Uniform(0, 1)(random) < 0.1 ? QStringLiteral("\n") : QStringLiteral(" "));
        chunk.words->push_back(AlignedWord { separator + spelling(truth.text, random), start, end });
        *chunk.text += chunk.words->back().text;
        previousStart = start;
    }
    return chunk;
}

struct Line
{
    int seconds = 0;
    QString speaker;
    QStringList words;
};

std::vector<Line> parsedLines(const QString& transcript)
{
    static const QRegularExpression linePattern(
        QStringLiteral("^\\[(\\d+):(\\d\\d):(\\d\\d)\\] (Speaker \\d+): (.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression space(QStringLiteral("\\s+"));
    std::vector<Line> lines;
    for (const QString& paragraph : transcript.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = linePattern.match(paragraph);
        EXPECT_TRUE(match.hasMatch()) << paragraph.toStdString();
        Line line { match.captured(1).toInt() * 3600 + match.captured(2).toInt() * 60
                + match.captured(3).toInt(),
            match.captured(4), {} };
        for (const QString& word : match.captured(5).split(space, Qt::SkipEmptyParts)) {
            line.words.append(word.toLower().remove(QLatin1Char(',')).remove(QLatin1Char('.')));
        }
        lines.push_back(line);
    }
    return lines;
}

// "Speaker N" of each speaker, N counting labels in order of first appearance.
std::vector<QString> expectedNames(const Meeting& meeting)
{
    QStringList labels;
    for (const SpeakerSegment& segment : meeting.segments) {
        if (!labels.contains(segment.speaker)) {
            labels.append(segment.speaker);
        }
    }
    std::vector<QString> names;
    for (int speaker = 0; speaker < 3; ++speaker) {
        names.push_back(
            QStringLiteral("Speaker %1").arg(labels.indexOf(QStringLiteral("SPEAKER_%1").arg(speaker)) + 1));
    }
    return names;
}

void checkMerge(unsigned seed)
{
    std::mt19937 random(seed);
    const Meeting meeting = generatedMeeting(random);
    std::vector<AudioChunk> chunks;
    for (size_t i = 0; i + 1 < meeting.boundaries.size(); ++i) {
        chunks.push_back(heardChunk(meeting, i, random));
    }

    QString transcript;
    try {
        transcript = TranscriptAlignment::merged(chunks, meeting.segments);
    } catch (const APIClientError& error) {
        FAIL() << "seed " << seed << ": " << error.message().toStdString();
    }

    const std::vector<QString> names = expectedNames(meeting);
    size_t next = 0;
    const std::vector<Line> lines = parsedLines(transcript);
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        ASSERT_LT(next, meeting.words.size()) << "seed " << seed << ": more words than were spoken";
        const TruthWord& first = meeting.words[next];
        EXPECT_GE(line.seconds, std::floor(first.start - kMaxJitter) - 0.5) << "seed " << seed;
        EXPECT_LE(line.seconds, first.start + kMaxJitter) << "seed " << seed;
        if (i > 0) {
            EXPECT_NE(line.speaker, lines[i - 1].speaker) << "seed " << seed;
        }
        for (const QString& word : line.words) {
            ASSERT_LT(next, meeting.words.size()) << "seed " << seed << ": more words than were spoken";
            const TruthWord& truth = meeting.words[next++];
            ASSERT_EQ(word, truth.text) << "seed " << seed << " at " << truth.start;
            ASSERT_EQ(line.speaker, names[static_cast<size_t>(truth.speaker)]) << "seed " << seed;
        }
    }
    EXPECT_EQ(next, meeting.words.size()) << "seed " << seed << ": words were lost";
}

} // namespace

TEST(TranscriptAlignmentProperty, ChunkedMeetingsMergeBackToWhatWasSaid)
{
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        checkMerge(seed);
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}
