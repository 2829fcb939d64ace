#include "pipeline/AudioChunker.h"

#include "pipeline/AacRangeCopy.h"

#include "core/FileSystemError.h"
#include "support/FileSizeLimit.h"
#include "support/RunTask.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr int kRate = 48000;
// The decoder may output the padding of the last AAC frame.
constexpr double kAacFrameSeconds = 1024.0 / kRate;

QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(-1);
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput();
}

// Writes `seconds` of 48 kHz audio whose samples follow an aevalsrc
// expression of t; the extension picks the container and codec.
void synthesize(const QString& path, const QString& expression, double seconds, const QStringList& codec = {})
{
    run("ffmpeg",
        QStringList { "-v", "error", "-y", "-f", "lavfi", "-i",
            QStringLiteral("aevalsrc='%1':s=%2:d=%3").arg(expression).arg(kRate).arg(seconds) }
            + codec + QStringList { path });
}

QString tone(double amplitude = 0.5)
{
    return QStringLiteral("%1*sin(2*PI*440*t)").arg(amplitude);
}

// A tone that stops for each [from, to] given.
QString toneWithGaps(const std::vector<std::pair<double, double>>& gaps)
{
    QString expression = tone();
    for (const auto& [from, to] : gaps) {
        expression += QStringLiteral("*not(between(t,%1,%2))").arg(from).arg(to);
    }
    return expression;
}

struct Probe
{
    QString codec;
    QString container;
    int channels = 0;
    double streamDuration = 0;
    std::vector<float> samples; // decoded, mixed to mono
};

Probe probe(const QString& path)
{
    const QJsonObject info = QJsonDocument::fromJson(run("ffprobe",
                                                         { "-v", "error", "-show_entries",
                                                             "stream=codec_name,channels,duration:format="
                                                             "format_name",
                                                             "-of", "json", path }))
                                 .object();
    const QJsonObject stream = info["streams"].toArray().first().toObject();
    Probe result;
    result.codec = stream["codec_name"].toString();
    result.channels = stream["channels"].toInt();
    result.streamDuration = stream["duration"].toString().toDouble();
    result.container = info["format"].toObject()["format_name"].toString();
    const QByteArray pcm = run("ffmpeg", { "-v", "error", "-i", path, "-f", "f32le", "-ac", "1", "-" });
    result.samples.resize(pcm.size() / sizeof(float));
    std::memcpy(result.samples.data(), pcm.constData(), result.samples.size() * sizeof(float));
    return result;
}

std::int64_t firstLoudSample(const std::vector<float>& samples, float threshold = 0.05f)
{
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > threshold) {
            return std::int64_t(i);
        }
    }
    return -1;
}

QByteArray digest(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// The middle of the first whole 100 ms window, laid back to back from `from`,
// that starts at or after `silenceStart`.
double firstSilentWindowMiddle(double from, double silenceStart)
{
    const std::int64_t window = kRate / 10;
    const auto first = std::int64_t(from * kRate);
    std::int64_t start = first;
    while (start < std::int64_t(std::ceil(silenceStart * kRate))) {
        start += window;
    }
    return double(start + window / 2) / kRate;
}

class AudioChunkerTest : public ::testing::Test
{
protected:
    QString source(const QString& name) const { return m_sources.filePath(name); }
    QString directory() const { return m_chunks.path(); }
    QStringList directoryEntries() const
    {
        return QDir(directory()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    }
    QString chunkPath(const AudioChunk& chunk) const { return QDir(directory()).filePath(chunk.filename); }

    std::vector<AudioChunk> split(
        const QString& path, double maximumSeconds, std::int64_t maximumBytes, double contextSeconds)
    {
        return TestTasks::run(
            AudioChunker::split(path, directory(), maximumSeconds, maximumBytes, contextSeconds));
    }

    AudioChunkError::Kind failure(
        const QString& path, double maximumSeconds, std::int64_t maximumBytes, double contextSeconds)
    {
        try {
            split(path, maximumSeconds, maximumBytes, contextSeconds);
        } catch (const AudioChunkError& error) {
            EXPECT_EQ(QString::fromStdString(error.what()), AudioChunkError::description(error.kind()));
            return error.kind();
        }
        ADD_FAILURE() << "split succeeded";
        return {};
    }

    // Every chunk file exists, is private, is AAC in an M4A container and
    // holds its audio range within one AAC frame.
    void expectExported(const std::vector<AudioChunk>& chunks)
    {
        QStringList names;
        for (const AudioChunk& chunk : chunks) {
            names << chunk.filename;
            EXPECT_TRUE(QRegularExpression("^chunk-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.m4a$")
                            .match(chunk.filename)
                            .hasMatch())
                << chunk.filename.toStdString();
            struct stat status
            {
            };
            ASSERT_EQ(::stat(QFile::encodeName(chunkPath(chunk)).constData(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0600u);

            const Probe info = probe(chunkPath(chunk));
            const double expected = *chunk.audioEnd - *chunk.audioStart;
            EXPECT_EQ(info.codec, "aac");
            EXPECT_TRUE(info.container.contains("m4a")) << info.container.toStdString();
            EXPECT_NEAR(info.streamDuration, expected, 1.5 / kRate);
            EXPECT_GE(double(info.samples.size()) / kRate, expected - 1.0 / kRate);
            EXPECT_LE(double(info.samples.size()) / kRate, expected + kAacFrameSeconds);
            EXPECT_FALSE(chunk.text || chunk.speaker || chunk.words);
        }
        names.sort();
        QStringList present = directoryEntries();
        present.sort();
        EXPECT_EQ(present, names);
    }

    static void expectContiguous(const std::vector<AudioChunk>& chunks, double duration)
    {
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks.front().start, 0.0);
        EXPECT_EQ(chunks.back().end, duration);
        for (std::size_t i = 1; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].start, chunks[i - 1].end) << "chunk " << i;
        }
        for (const AudioChunk& chunk : chunks) {
            EXPECT_LT(chunk.start, chunk.end);
        }
    }

private:
    QTemporaryDir m_sourceFolder;
    QDir m_sources { m_sourceFolder.path() };
    QTemporaryDir m_chunks;
};

TEST_F(AudioChunkerTest, ShortRecordingIsOneChunkWithoutSearch)
{
    synthesize(source("short.wav"), tone(), 4.0);
    for (const double context : { 0.0, 2.5 }) {
        const auto chunks = split(source("short.wav"), 10, 20'000'000, context);
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].start, 0.0);
        EXPECT_EQ(chunks[0].end, 4.0);
        // Context is clamped to the recording, never extended past it.
        EXPECT_EQ(chunks[0].audioStart, 0.0);
        EXPECT_EQ(chunks[0].audioEnd, 4.0);
        expectExported(chunks);
        QFile::remove(chunkPath(chunks[0]));
    }
}

TEST_F(AudioChunkerTest, CoresTouchAndFilesHoldTheirRange)
{
    const QString path = source("long.m4a");
    synthesize(path, tone() + "*(1+0.5*sin(2*PI*3*t))", 25.0, { "-c:a", "aac", "-b:a", "64k" });
    const QByteArray before = digest(path);

    const auto chunks = split(path, 10, 20'000'000, 0);
    ASSERT_GE(chunks.size(), 3u);
    expectContiguous(chunks, 25.0);
    for (const AudioChunk& chunk : chunks) {
        EXPECT_EQ(chunk.audioStart, chunk.start);
        EXPECT_EQ(chunk.audioEnd, chunk.end);
        EXPECT_LE(chunk.end - chunk.start, 10.0);
    }
    expectExported(chunks);
    EXPECT_EQ(digest(path), before);
}

TEST_F(AudioChunkerTest, ContextOverlapsNeighboursAndClampsAtTheEnds)
{
    const QString path = source("context.wav");
    synthesize(path, tone(), 30.0);
    const auto chunks = split(path, 10, 20'000'000, 2.0);
    ASSERT_GE(chunks.size(), 4u);
    expectContiguous(chunks, 30.0);
    EXPECT_EQ(chunks.front().audioStart, 0.0);
    EXPECT_EQ(chunks.back().audioEnd, 30.0);
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
        EXPECT_DOUBLE_EQ(*chunks[i].audioStart, chunks[i].start - 2.0);
        EXPECT_DOUBLE_EQ(*chunks[i].audioEnd, chunks[i].end + 2.0);
        EXPECT_LE(*chunks[i].audioEnd - *chunks[i].audioStart, 10.0);
    }
    expectExported(chunks);
}

TEST_F(AudioChunkerTest, ExportIsCutOnTheSample)
{
    // Bursts at known times in silence: the onset must appear in each file at
    // its offset from the file's start, whatever the source's codec.
    const QString expression = tone() + "*(between(t,3,3.5)+between(t,12.5,13))";
    synthesize(source("bursts.wav"), expression, 20.0);
    synthesize(source("bursts.m4a"), expression, 20.0, { "-c:a", "aac", "-b:a", "96k" });
    synthesize(source("bursts.flac"), expression, 20.0);
    for (const char* name : { "bursts.wav", "bursts.m4a", "bursts.flac" }) {
        for (const double context : { 0.0, 2.0 }) {
            SCOPED_TRACE(std::string(name) + " context " + std::to_string(context));
            const auto chunks = split(source(name), 10, 20'000'000, context);
            for (const double onset : { 3.0, 12.5 }) {
                const auto holder
                    = std::find_if(chunks.begin(), chunks.end(), [onset](const AudioChunk& chunk) {
                          return *chunk.audioStart < onset - 0.1 && *chunk.audioEnd > onset + 0.1;
                      });
                ASSERT_NE(holder, chunks.end());
                const std::int64_t expected = std::llround((onset - *holder->audioStart) * kRate);
                // The sine needs two samples to rise above the threshold.
                EXPECT_NEAR(firstLoudSample(probe(chunkPath(*holder)).samples), expected + 2, 8);
            }
            for (const AudioChunk& chunk : chunks) {
                QFile::remove(chunkPath(chunk));
            }
        }
    }
}

TEST_F(AudioChunkerTest, AacChunksAreCopiedSampleForSample)
{
    // A second generation of AAC changes every sample (an RMS error near 0.03
    // here); a copied range decodes to the source's own samples, apart from
    // the noise the decoder substitutes for noise-like bands, which it draws
    // afresh for each file.
    const QString path = source("speech-like.m4a");
    synthesize(path, tone() + "*(1+0.5*sin(2*PI*3*t))*(1+0.3*sin(2*PI*0.37*t))", 40.0,
        { "-c:a", "aac", "-b:a", "64k" });
    const std::vector<float> original = probe(path).samples;
    for (const double context : { 0.0, 1.3 }) {
        SCOPED_TRACE("context " + std::to_string(context));
        const auto chunks = split(path, 11.1, 20'000'000, context);
        ASSERT_GE(chunks.size(), 4u);
        expectExported(chunks);
        for (const AudioChunk& chunk : chunks) {
            SCOPED_TRACE("chunk at " + std::to_string(*chunk.audioStart) + " s");
            const std::vector<float> copied = probe(chunkPath(chunk)).samples;
            const auto first = std::size_t(std::llround(*chunk.audioStart * kRate));
            const auto count = std::size_t(std::llround((*chunk.audioEnd - *chunk.audioStart) * kRate));
            ASSERT_GE(copied.size(), count);
            ASSERT_LE(first + count, original.size());
            double squares = 0;
            float worst = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const float difference = std::fabs(copied[i] - original[first + i]);
                squares += double(difference) * difference;
                worst = std::max(worst, difference);
            }
            EXPECT_LT(std::sqrt(squares / double(count)), 1e-4);
            EXPECT_LT(worst, 0.01f);
            QFile::remove(chunkPath(chunk));
        }
    }
}

TEST_F(AudioChunkerTest, RawStreamIsMeasuredNotGuessed)
{
    // A raw AAC stream states no duration; a guess from its bit rate puts
    // mostly silent audio at more than twice its length.
    const QString path = source("raw.aac");
    synthesize(path, tone() + "*between(t,3,3.5)", 20.0, { "-c:a", "aac", "-b:a", "96k" });
    const std::size_t decoded = probe(path).samples.size();
    const auto chunks = split(path, 10, 20'000'000, 0);
    expectContiguous(chunks, chunks.back().end);
    // The stream's own priming samples are part of its timeline.
    EXPECT_NEAR(chunks.back().end, double(decoded) / kRate, 1.0 / kRate);
    expectExported(chunks);
}

TEST_F(AudioChunkerTest, ChunksAreMonoOrStereo)
{
    // Transcription gains nothing from surround: 5.1 is mixed down to stereo.
    for (const auto& [layout, expected] :
        { std::pair { "mono", 1 }, std::pair { "stereo", 2 }, std::pair { "5.1", 2 } }) {
        SCOPED_TRACE(layout);
        const QString path = source(QStringLiteral("%1.wav").arg(layout));
        run("ffmpeg",
            { "-v", "error", "-y", "-f", "lavfi", "-i",
                QStringLiteral("sine=f=440:sample_rate=%1:d=2").arg(kRate), "-af",
                QStringLiteral("aformat=channel_layouts=%1").arg(layout), path });
        const auto chunks = split(path, 10, 20'000'000, 0);
        ASSERT_EQ(chunks.size(), 1u);
        const Probe info = probe(chunkPath(chunks[0]));
        EXPECT_EQ(info.channels, expected);
        EXPECT_GT(firstLoudSample(info.samples, 0.1f), -1) << "the tone survives the mix";
        QFile::remove(chunkPath(chunks[0]));
    }
}

TEST_F(AudioChunkerTest, CutMovesToFirstWhollySilentWindow)
{
    // With 10 s chunks the first search runs from 7 s to 10 s. Two silent
    // gaps have equal (zero) energy: the earlier wins.
    synthesize(source("gaps.wav"), toneWithGaps({ { 8.23, 9.0 }, { 9.3, 9.9 } }), 20.0);
    const auto chunks = split(source("gaps.wav"), 10, 20'000'000, 0);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_DOUBLE_EQ(chunks[0].end, firstSilentWindowMiddle(7.0, 8.23));
    expectContiguous(chunks, 20.0);
}

TEST_F(AudioChunkerTest, CutLandsInTheGapOfACompressedRecording)
{
    synthesize(source("gaps.m4a"), toneWithGaps({ { 8.2, 9.0 } }), 20.0, { "-c:a", "aac", "-b:a", "64k" });
    const auto chunks = split(source("gaps.m4a"), 10, 20'000'000, 0);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_GT(chunks[0].end - 0.05, 8.2);
    EXPECT_LT(chunks[0].end + 0.05, 9.0);
}

TEST_F(AudioChunkerTest, CompleteSilencePicksTheFirstWindowOfEachSearch)
{
    synthesize(source("silence.wav"), "0", 20.0);
    const auto chunks = split(source("silence.wav"), 10, 20'000'000, 0);
    ASSERT_EQ(chunks.size(), 3u);
    // First search: max(0 + 5, 10 - 3) = 7; second: max(7.05 + 5, 17.05 - 3).
    EXPECT_DOUBLE_EQ(chunks[0].end, 7.05);
    EXPECT_DOUBLE_EQ(chunks[1].end, std::max(chunks[1].start + 5, chunks[1].start + 10 - 3) + 0.05);
    expectContiguous(chunks, 20.0);
}

TEST_F(AudioChunkerTest, SearchShorterThanOneWindowKeepsThePlannedCut)
{
    // A 0.15 s step searches only 75 ms: no 100 ms window fits.
    synthesize(source("blip.wav"), toneWithGaps({ { 0.1, 0.2 } }), 0.5);
    const auto chunks = split(source("blip.wav"), 0.15, 20'000'000, 0);
    ASSERT_EQ(chunks.size(), 4u);
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].end, chunks[i].start + 0.15);
    }
    expectContiguous(chunks, 0.5);
    expectExported(chunks);
}

TEST_F(AudioChunkerTest, OversizedChunkIsHalvedUntilItFits)
{
    const QString path = source("noise.wav");
    synthesize(path, "0.4*(random(0)-0.5)*not(between(t,8.23,9.0))", 20.0);
    const auto unlimited = split(path, 10, 20'000'000, 0);
    const std::int64_t fullSize = QFileInfo(chunkPath(unlimited[0])).size();
    for (const AudioChunk& chunk : unlimited) {
        QFile::remove(chunkPath(chunk));
    }

    const std::int64_t limit = fullSize * 3 / 4;
    const auto chunks = split(path, 10, limit, 0);
    EXPECT_DOUBLE_EQ(chunks[0].end, unlimited[0].end * 0.5);
    expectContiguous(chunks, 20.0);
    for (const AudioChunk& chunk : chunks) {
        EXPECT_LE(QFileInfo(chunkPath(chunk)).size(), limit);
    }
    // The oversized attempts are gone.
    expectExported(chunks);
}

TEST_F(AudioChunkerTest, ChunkThatCannotFitIsTooLargeAndLeavesNothing)
{
    synthesize(source("tiny-limit.wav"), tone(), 12.0);
    EXPECT_EQ(failure(source("tiny-limit.wav"), 10, 100, 0), AudioChunkError::Kind::tooLarge);
    EXPECT_TRUE(directoryEntries().isEmpty());
}

TEST_F(AudioChunkerTest, ParametersOutsideTheRulesAreRejected)
{
    synthesize(source("ok.wav"), tone(), 4.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const struct
    {
        double maximumSeconds;
        std::int64_t maximumBytes;
        double contextSeconds;
    } rejected[] = { { 5, 20'000'000, 2.5 }, { 0, 20'000'000, 0 }, { -1, 20'000'000, 0 },
        { nan, 20'000'000, 0 }, { infinity, 20'000'000, 0 }, { 10, 0, 0 }, { 10, 20'000'000, -0.1 },
        { 10, 20'000'000, nan }, { 10, 20'000'000, infinity } };
    for (const auto& parameters : rejected) {
        EXPECT_EQ(failure(source("ok.wav"), parameters.maximumSeconds, parameters.maximumBytes,
                      parameters.contextSeconds),
            AudioChunkError::Kind::invalidAudio);
    }
    EXPECT_TRUE(directoryEntries().isEmpty());
    EXPECT_EQ(split(source("ok.wav"), 9, 20'000'000, 2.5).size(), 1u);
}

TEST_F(AudioChunkerTest, UnusableSourcesAreInvalidAudio)
{
    QFile empty(source("empty.m4a"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    QFile garbage(source("garbage.m4a"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, '\x5a'));
    garbage.close();
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=d=1:s=64x64", "-c:v", "mpeg4",
            source("video.mp4") });

    // AAC has no 4 kHz rate: the encoder refuses it with EINVAL, which once
    // came out as a file-system failure.
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=300:sample_rate=4000:duration=2", "-c:a",
            "pcm_u8", source("rate-4000.wav") });

    for (const char* name : { "missing.m4a", "empty.m4a", "garbage.m4a", "video.mp4", "rate-4000.wav" }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failure(source(name), 300, 20'000'000, 0), AudioChunkError::Kind::invalidAudio);
    }
    EXPECT_TRUE(directoryEntries().isEmpty());
}

// Our own two-hour mixes have a frame one tick long every 30 minutes, where
// fragment times were rounded: such a range is still copied, not re-encoded.
TEST_F(AudioChunkerTest, FramesATickLongFromRoundedTimesAreStillCopied)
{
    const QString plain = source("plain.m4a");
    synthesize(plain, tone(), 20.0, { "-c:a", "aac", "-b:a", "64k" });
    const QString rounded = source("rounded.m4a");
    run("ffmpeg",
        { "-v", "error", "-y", "-i", plain, "-c", "copy", "-bsf:a",
            "setts=pts=PTS+gte(N\\,300)+gte(N\\,600):dts=DTS+gte(N\\,300)+gte(N\\,600)", rounded });
    for (const QString& path : { plain, rounded }) {
        SCOPED_TRACE(path.toStdString());
        const QString chunk = source("copied.m4a");
        EXPECT_TRUE(AacRangeCopy::copy(path, chunk, 4.0, 16.0, 2)) << "the range was not copyable";
        EXPECT_NEAR(probe(chunk).samples.size() / double(kRate), 12.0, 0.01);
    }
}

TEST_F(AudioChunkerTest, DamagedAacRecordingsAreCutOrRefusedWithoutLeftovers)
{
    const QString good = source("good.m4a");
    synthesize(good, tone(), 30.0, { "-c:a", "aac", "-b:a", "64k" });
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    QByteArray scrambled = bytes;
    for (qsizetype i = bytes.size() / 3; i < bytes.size() / 3 + 4000; ++i) {
        scrambled[i] = char(i * 131);
    }
    const std::vector<std::pair<const char*, QByteArray>> damaged { { "scrambled packets", scrambled },
        // The index then points past the end of the file.
        { "cut short", bytes.left(bytes.size() / 2) } };
    for (const auto& [name, content] : damaged) {
        SCOPED_TRACE(name);
        const QString path = source(QStringLiteral("damaged.m4a"));
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content);
        out.close();
        try {
            const auto chunks = split(path, 10, 20'000'000, 1.0);
            expectContiguous(chunks, chunks.back().end);
            expectExported(chunks);
            for (const AudioChunk& chunk : chunks) {
                QFile::remove(chunkPath(chunk));
            }
        } catch (const AudioChunkError& error) {
            EXPECT_EQ(error.kind(), AudioChunkError::Kind::invalidAudio);
        }
        EXPECT_TRUE(directoryEntries().isEmpty());
    }
}

TEST_F(AudioChunkerTest, FailedWriteLeavesNoChunkFiles)
{
    // The silent first chunk is small and succeeds; the noisy second one
    // cannot be written.
    synthesize(source("half-noise.wav"), "0.4*(random(0)-0.5)*gte(t,10)", 25.0);
    try {
        FileSizeLimit limit(40'000);
        split(source("half-noise.wav"), 10, 20'000'000, 0);
        ADD_FAILURE() << "split succeeded";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), EFBIG);
    }
    EXPECT_TRUE(directoryEntries().isEmpty());
}

TEST_F(AudioChunkerTest, MissingDirectoryIsAFileSystemError)
{
    synthesize(source("ok.wav"), tone(), 2.0);
    try {
        TestTasks::run(AudioChunker::split(source("ok.wav"), directory() + "/absent", 10, 20'000'000, 0));
        ADD_FAILURE() << "split succeeded";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
}

class QuietBoundaryTest : public AudioChunkerTest
{
};

TEST_F(QuietBoundaryTest, FallsBackToThePlannedCut)
{
    synthesize(source("silence.wav"), "0", 2.0);
    EXPECT_EQ(AudioChunker::detail::quietBoundary(source("missing.wav"), 0.5, 1.5), 1.5);
    EXPECT_EQ(AudioChunker::detail::quietBoundary(source("silence.wav"), 1.5, 1.5), 1.5);
    EXPECT_EQ(AudioChunker::detail::quietBoundary(source("silence.wav"), 1.6, 1.5), 1.5);
    EXPECT_EQ(AudioChunker::detail::quietBoundary(source("silence.wav"), 1.45, 1.5), 1.5);
}

TEST_F(QuietBoundaryTest, OnlyWindowsEndingByTheLimitCount)
{
    // Loud until 0.2 s, silent after: the windows are 0–0.1 and 0.1–0.2; the
    // silent 0.2–0.3 window ends past the limit and is not considered.
    synthesize(source("edge.wav"), tone() + "*lt(t,0.1)+" + tone(0.1) + "*between(t,0.1,0.2)", 1.0);
    EXPECT_DOUBLE_EQ(AudioChunker::detail::quietBoundary(source("edge.wav"), 0.0, 0.25), 0.15);
}

TEST_F(QuietBoundaryTest, EnergyCountsEveryChannel)
{
    // First window: silent left, loud right; second: quieter left, silent right.
    const QString path = source("stereo.wav");
    const QString left = QStringLiteral("%1*between(t,0.1,0.2)").arg(tone(0.3));
    const QString right = QStringLiteral("%1*lt(t,0.1)").arg(tone());
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i",
            QStringLiteral("aevalsrc='%1|%2':s=%3:d=1").arg(left, right).arg(kRate), path });
    EXPECT_DOUBLE_EQ(AudioChunker::detail::quietBoundary(path, 0.0, 0.2), 0.15);
}

} // namespace
