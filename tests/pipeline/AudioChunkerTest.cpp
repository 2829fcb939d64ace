#include "pipeline/AudioChunker.h"

#include "PipelineFixture.h"

#include "pipeline/AacRangeCopy.h"
#include "pipeline/AudioReader.h"

#include "core/FileSystemError.h"
#include "support/FileSizeLimit.h"
#include "support/RunTask.h"

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
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <sys/stat.h>
#include <tuple>

namespace {

using PipelineTesting::readFile;
using PipelineTesting::writeFile;

constexpr int kRate = 48000;
// The decoder may output the padding of the last AAC frame.
constexpr double kAacFrameSeconds = 1024.0 / kRate;
const QStringList kAac { "-c:a", "aac", "-b:a", "64k" };

QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(-1);
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput();
}

// Writes `seconds` of 48 kHz audio following an aevalsrc expression of t; the
// extension picks the container.
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
    std::vector<float> samples; // mixed to mono
};

Probe probe(const QString& path)
{
    const QJsonObject info = QJsonDocument::fromJson(
        run("ffprobe",
            { "-v", "error", "-show_entries", "stream=codec_name,channels,duration:format=format_name", "-of",
                "json", path }))
                                 .object();
    const QJsonObject stream = info["streams"].toArray().first().toObject();
    Probe result { stream["codec_name"].toString(), info["format"].toObject()["format_name"].toString(),
        stream["channels"].toInt(), stream["duration"].toString().toDouble(), {} };
    const QByteArray pcm = run("ffmpeg", { "-v", "error", "-i", path, "-f", "f32le", "-ac", "1", "-" });
    result.samples.resize(pcm.size() / sizeof(float));
    std::memcpy(result.samples.data(), pcm.constData(), result.samples.size() * sizeof(float));
    return result;
}

std::int64_t firstLoudSample(const std::vector<float>& samples, float threshold = 0.05f)
{
    const auto loud = std::find_if(
        samples.begin(), samples.end(), [threshold](float sample) { return std::fabs(sample) > threshold; });
    return loud == samples.end() ? -1 : loud - samples.begin();
}

class AudioChunkerTest : public ::testing::Test
{
protected:
    QString source(const QString& name) const { return m_sources.filePath(name); }
    QString chunkPath(const AudioChunk& chunk) const
    {
        return QDir(m_chunks.path()).filePath(chunk.filename);
    }
    QStringList chunkFiles() const { return QDir(m_chunks.path()).entryList(QDir::Files, QDir::Name); }
    void removeChunkFiles() const
    {
        for (const QString& name : chunkFiles()) {
            QFile::remove(QDir(m_chunks.path()).filePath(name));
        }
    }

    std::vector<AudioChunk> split(const QString& path, double maximumSeconds,
        std::int64_t maximumBytes = 20'000'000, double context = 0)
    {
        return TestTasks::run(
            AudioChunker::split(path, m_chunks.path(), maximumSeconds, maximumBytes, context));
    }

    // Every chunk file is private AAC in M4A holding its audio range within one
    // AAC frame, no other file is left, and the cores tile [0, duration].
    void expectExported(const std::vector<AudioChunk>& chunks, double duration, int channels = 0)
    {
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks.front().start, 0.0);
        EXPECT_EQ(chunks.back().end, duration);
        QStringList names;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const AudioChunk& chunk = chunks[i];
            SCOPED_TRACE("chunk " + std::to_string(i));
            EXPECT_LT(chunk.start, chunk.end);
            if (i > 0) {
                EXPECT_EQ(chunk.start, chunks[i - 1].end);
            }
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
            if (channels > 0) {
                EXPECT_EQ(info.channels, channels);
            }
            EXPECT_TRUE(info.container.contains("m4a")) << info.container.toStdString();
            EXPECT_NEAR(info.streamDuration, expected, 1.5 / kRate);
            EXPECT_GE(double(info.samples.size()) / kRate, expected - 1.0 / kRate);
            EXPECT_LE(double(info.samples.size()) / kRate, expected + kAacFrameSeconds);
            EXPECT_FALSE(chunk.text || chunk.speaker || chunk.words);
        }
        names.sort();
        EXPECT_EQ(chunkFiles(), names);
    }

private:
    QTemporaryDir m_sourceFolder;
    QDir m_sources { m_sourceFolder.path() };
    QTemporaryDir m_chunks;
};

struct SplitCase
{
    const char* file; // the extension picks the container
    QString audio;
    double seconds; // 0: a raw stream that states no duration
    QStringList codec = {};
    double maximum = 10;
    std::vector<double> contexts = { 0 }; // one split for each
    std::vector<double> cuts = {}; // the first cuts
    bool allCuts = false; // cuts names every cut
    double tolerance = 1e-9;
    std::vector<double> onsets = {}; // where bursts of tone begin
    int channels = 1;
    bool copied = false; // AAC ranges decode to the source's own samples
};

// Every split's cores tile the recording, its files hold the core plus the
// context clamped to the recording, and the source is only read.
TEST_F(AudioChunkerTest, SplitsCutAtQuietPointsAndExportEachRangeOnTheSample)
{
    const QString bursts = tone() + "*(between(t,3,3.5)+between(t,12.5,13))";
    const QStringList aac96 { "-c:a", "aac", "-b:a", "96k" };
    const QString speech = tone() + "*(1+0.5*sin(2*PI*3*t))*(1+0.3*sin(2*PI*0.37*t))";
    const SplitCase cases[] = {
        // Context is clamped to the recording, never extended past it.
        { .file = "short.wav", .audio = tone(), .seconds = 4, .contexts = { 0, 2.5 }, .allCuts = true },
        // Transcription gains nothing from surround: 5.1 is mixed down to stereo.
        { .file = "stereo.wav",
            .audio = tone() + "|" + tone(),
            .seconds = 2,
            .allCuts = true,
            .channels = 2 },
        { .file = "5.1.wav",
            .audio = QStringList(6, tone() + "*between(t,1,1.5)").join('|'),
            .seconds = 2,
            .allCuts = true,
            .onsets = { 1 },
            .channels = 2 },
        // A second generation of AAC changes every sample; a copied range does not.
        { .file = "speech.m4a",
            .audio = speech,
            .seconds = 40,
            .codec = kAac,
            .maximum = 11.1,
            .contexts = { 0, 1.3 },
            .copied = true },
        // Each onset must appear in its file at its offset from the file's start.
        { .file = "bursts.wav", .audio = bursts, .seconds = 20, .contexts = { 0, 2 }, .onsets = { 3, 12.5 } },
        { .file = "bursts.m4a",
            .audio = bursts,
            .seconds = 20,
            .codec = aac96,
            .contexts = { 0, 2 },
            .onsets = { 3, 12.5 } },
        { .file = "bursts.flac",
            .audio = bursts,
            .seconds = 20,
            .contexts = { 0, 2 },
            .onsets = { 3, 12.5 } },
        // A guess from the bit rate puts mostly silent audio at over twice its
        // length; the stream's own priming samples are part of its timeline.
        { .file = "raw.aac", .audio = tone() + "*between(t,3,3.5)", .seconds = 0, .codec = aac96 },
        // With 10 s chunks the first search runs from 7 s in 100 ms windows.
        // Two silent gaps have equal energy: the earlier wins, at the first
        // whole window after 8.23 s.
        { .file = "gaps.wav",
            .audio = toneWithGaps({ { 8.23, 9.0 }, { 9.3, 9.9 } }),
            .seconds = 20,
            .cuts = { 8.35 } },
        { .file = "gaps.m4a",
            .audio = toneWithGaps({ { 8.2, 9.0 } }),
            .seconds = 20,
            .codec = kAac,
            .cuts = { 8.6 },
            .tolerance = 0.35 },
        // Searches start at max(start + 5, start + 10 - 3).
        { .file = "silence.wav", .audio = "0", .seconds = 20, .cuts = { 7.05, 14.1 }, .allCuts = true },
        // A 0.15 s step searches only 75 ms: no window fits, the planned cut stays.
        { .file = "blip.wav",
            .audio = toneWithGaps({ { 0.1, 0.2 } }),
            .seconds = 0.5,
            .maximum = 0.15,
            .cuts = { 0.15, 0.3, 0.45 },
            .allCuts = true },
    };
    for (const SplitCase& test : cases) {
        const QString path = source(test.file);
        synthesize(path, test.audio, test.seconds > 0 ? test.seconds : 20, test.codec);
        const QByteArray before = readFile(path);
        const std::vector<float> original = probe(path).samples;
        for (const double context : test.contexts) {
            SCOPED_TRACE(std::string(test.file) + " context " + std::to_string(context));
            const auto chunks = split(path, test.maximum, 20'000'000, context);
            ASSERT_GT(chunks.size(), test.cuts.size());
            if (test.allCuts) {
                EXPECT_EQ(chunks.size(), test.cuts.size() + 1);
            }
            for (std::size_t i = 0; i < test.cuts.size(); ++i) {
                EXPECT_NEAR(chunks[i].end, test.cuts[i], test.tolerance) << "cut " << i;
            }
            const double duration = test.seconds > 0 ? test.seconds : chunks.back().end;
            if (test.seconds == 0) {
                EXPECT_NEAR(duration, double(original.size()) / kRate, 1.0 / kRate);
            }
            expectExported(chunks, duration, test.channels);
            for (const AudioChunk& chunk : chunks) {
                SCOPED_TRACE("chunk at " + std::to_string(*chunk.audioStart) + " s");
                EXPECT_DOUBLE_EQ(*chunk.audioStart, std::max(0.0, chunk.start - context));
                EXPECT_DOUBLE_EQ(*chunk.audioEnd, std::min(duration, chunk.end + context));
                EXPECT_LE(*chunk.audioEnd - *chunk.audioStart, test.maximum);
                if (!test.copied) {
                    continue;
                }
                // Apart from the noise the decoder draws afresh for noise-like bands.
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
            }
            for (const double onset : test.onsets) {
                const auto holder
                    = std::find_if(chunks.begin(), chunks.end(), [onset](const AudioChunk& chunk) {
                          return *chunk.audioStart < onset - 0.1 && *chunk.audioEnd > onset + 0.1;
                      });
                ASSERT_NE(holder, chunks.end()) << onset;
                const std::int64_t expected = std::llround((onset - *holder->audioStart) * kRate);
                // The sine needs two samples to rise above the threshold.
                EXPECT_NEAR(firstLoudSample(probe(chunkPath(*holder)).samples), expected + 2, 8) << onset;
            }
            removeChunkFiles();
        }
        EXPECT_EQ(readFile(path), before);
    }
}

TEST_F(AudioChunkerTest, OversizedChunkIsHalvedUntilItFits)
{
    const QString path = source("noise.wav");
    synthesize(path, "0.4*(random(0)-0.5)*not(between(t,8.23,9.0))", 20.0);
    const auto unlimited = split(path, 10);
    const std::int64_t limit = QFileInfo(chunkPath(unlimited[0])).size() * 3 / 4;
    removeChunkFiles();

    const auto chunks = split(path, 10, limit);
    EXPECT_DOUBLE_EQ(chunks[0].end, unlimited[0].end * 0.5);
    for (const AudioChunk& chunk : chunks) {
        EXPECT_LE(QFileInfo(chunkPath(chunk)).size(), limit);
    }
    // The oversized attempts are gone.
    expectExported(chunks, 20.0);
}

TEST_F(AudioChunkerTest, RefusedSplitsLeaveNothing)
{
    synthesize(source("ok.wav"), tone(), 4.0);
    synthesize(source("long.wav"), tone(), 12.0);
    writeFile(source("empty.m4a"), {});
    writeFile(source("garbage.m4a"), QByteArray(4096, '\x5a'));
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=d=1:s=64x64", "-c:v", "mpeg4",
            source("video.mp4") });
    // AAC has no 4 kHz rate: the encoder refuses it with EINVAL, which once
    // came out as a file-system failure.
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=300:sample_rate=4000:duration=2", "-c:a",
            "pcm_u8", source("rate-4000.wav") });

    using Kind = AudioChunkError::Kind;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::tuple<const char*, double, std::int64_t, double, Kind> cases[] = {
        { "long.wav", 10, 100, 0, Kind::tooLarge },
        // Context must leave room for a core.
        { "ok.wav", 5, 20'000'000, 2.5, Kind::invalidAudio },
        { "ok.wav", 0, 20'000'000, 0, Kind::invalidAudio },
        { "ok.wav", -1, 20'000'000, 0, Kind::invalidAudio },
        { "ok.wav", nan, 20'000'000, 0, Kind::invalidAudio },
        { "ok.wav", infinity, 20'000'000, 0, Kind::invalidAudio },
        { "ok.wav", 10, 0, 0, Kind::invalidAudio },
        { "ok.wav", 10, 20'000'000, -0.1, Kind::invalidAudio },
        { "ok.wav", 10, 20'000'000, nan, Kind::invalidAudio },
        { "ok.wav", 10, 20'000'000, infinity, Kind::invalidAudio },
        { "missing.m4a", 300, 20'000'000, 0, Kind::invalidAudio },
        { "empty.m4a", 300, 20'000'000, 0, Kind::invalidAudio },
        { "garbage.m4a", 300, 20'000'000, 0, Kind::invalidAudio },
        { "video.mp4", 300, 20'000'000, 0, Kind::invalidAudio },
        { "rate-4000.wav", 300, 20'000'000, 0, Kind::invalidAudio },
    };
    for (const auto& [name, maximumSeconds, maximumBytes, context, kind] : cases) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(maximumSeconds) + " s "
            + std::to_string(maximumBytes) + " B " + std::to_string(context));
        try {
            split(source(name), maximumSeconds, maximumBytes, context);
            ADD_FAILURE() << "split succeeded";
        } catch (const AudioChunkError& error) {
            EXPECT_EQ(error.kind(), kind);
            EXPECT_EQ(QString::fromStdString(error.what()), AudioChunkError::description(error.kind()));
        }
        EXPECT_TRUE(chunkFiles().isEmpty());
    }
}

// Our own two-hour mixes have a frame one tick long every 30 minutes, where
// fragment times were rounded: such a range is still copied, not re-encoded.
TEST_F(AudioChunkerTest, FramesATickLongFromRoundedTimesAreStillCopied)
{
    const QString plain = source("plain.m4a");
    synthesize(plain, tone(), 20.0, kAac);
    const QString rounded = source("rounded.m4a");
    run("ffmpeg",
        { "-v", "error", "-y", "-i", plain, "-c", "copy", "-bsf:a",
            "setts=pts=PTS+gte(N\\,300)+gte(N\\,600):dts=DTS+gte(N\\,300)+gte(N\\,600)", rounded });
    for (const QString& path : { plain, rounded }) {
        SCOPED_TRACE(path.toStdString());
        const QString chunk = source("copied.m4a");
        AudioReader reader(path);
        EXPECT_TRUE(AacRangeCopy::copy(reader.borrowInput(), reader.streamIndex(), chunk, 4.0, 16.0))
            << "the range was not copyable";
        EXPECT_NEAR(probe(chunk).samples.size() / double(kRate), 12.0, 0.01);
    }
}

// The raw frames of an ADTS stream: each header holds its frame's length.
std::vector<QByteArray> adtsFrames(const QByteArray& stream)
{
    std::vector<QByteArray> frames;
    qsizetype at = 0;
    while (at + 7 <= stream.size()) {
        const auto byte = [&](int i) { return unsigned(std::uint8_t(stream[at + i])); };
        const unsigned length = (byte(3) & 3U) << 11 | byte(4) << 3 | byte(5) >> 5;
        const unsigned header = (byte(1) & 1U) != 0 ? 7 : 9;
        frames.push_back(stream.mid(at + header, qsizetype(length - header)));
        at += length;
    }
    return frames;
}

bool plausible(const QByteArray& frame, int channels, int rate)
{
    return AacRangeCopy::plausibleFrame(
        reinterpret_cast<const std::uint8_t*>(frame.constData()), int(frame.size()), channels, rate);
}

// Every frame the encoder writes passes, silent ones and short windows
// included; frames that are zeroed, overwritten or read from the wrong offset
// almost all fail, so a damaged range is re-encoded rather than copied.
TEST_F(AudioChunkerTest, OnlyFramesThatReadAsAacAreCopied)
{
    // Clicks force short windows; the silence gives frames without sound.
    const QString talk = "0.4*(random(0)-0.5)*gt(sin(2*PI*0.7*t),0)+0.9*eq(mod(floor(t*4800),1200),0)";
    const std::tuple<const char*, QString, int, int, int> cases[] = {
        { "talk 48 kHz mono", talk, 48000, 1, 64 },
        { "talk 48 kHz stereo", talk + "|0.3*sin(2*PI*220*t)", 48000, 2, 128 },
        { "talk 44.1 kHz stereo, one side silent", talk + "|0", 44100, 2, 96 },
        { "talk 16 kHz mono", talk, 16000, 1, 32 },
        { "telephone 8 kHz mono", tone(), 8000, 1, 24 },
        { "silence", "0", 48000, 1, 64 },
    };
    for (const auto& [name, expression, rate, channels, kilobits] : cases) {
        SCOPED_TRACE(name);
        const QString path = source("frames.aac");
        run("ffmpeg",
            { "-v", "error", "-y", "-f", "lavfi", "-i",
                QStringLiteral("aevalsrc='%1':s=%2:d=6").arg(expression).arg(rate), "-c:a", "aac", "-b:a",
                QStringLiteral("%1k").arg(kilobits), "-f", "adts", path });
        const std::vector<QByteArray> frames = adtsFrames(readFile(path));
        ASSERT_GT(frames.size(), 6u * rate / 1024 - 2);
        // Read three bytes late, as from an index that is off.
        const QByteArray stream = std::accumulate(frames.begin(), frames.end(), QByteArray());
        qsizetype offset = 0;
        int zeroed = 0;
        int overwritten = 0;
        int shifted = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const QByteArray& frame = frames[i];
            EXPECT_TRUE(plausible(frame, channels, rate)) << "frame " << i << " of " << frame.size() << " B";
            EXPECT_FALSE(plausible(frame, 3 - channels, rate)) << "frame " << i;
            QByteArray garbage = frame;
            for (qsizetype b = 0; b < garbage.size(); ++b) {
                garbage[b] = char((b * 131 + i * 71 + 17) % 251);
            }
            zeroed += int(!plausible(QByteArray(frame.size(), '\0'), channels, rate));
            overwritten += int(!plausible(garbage, channels, rate));
            shifted += int(!plausible(stream.mid(offset + 3, frame.size()), channels, rate));
            offset += frame.size();
        }
        const auto count = int(frames.size());
        EXPECT_EQ(zeroed, count);
        EXPECT_GE(overwritten, count * 95 / 100);
        EXPECT_GE(shifted, count * 95 / 100);
    }
    EXPECT_FALSE(plausible(QByteArray(), 1, 48000));
    EXPECT_FALSE(plausible(QByteArray(200, 'x'), 1, 47000));
}

TEST_F(AudioChunkerTest, DamagedAacRecordingsAreCutOrRefusedWithoutLeftovers)
{
    const QString good = source("good.m4a");
    synthesize(good, tone(), 30.0, kAac);
    const QByteArray bytes = readFile(good);
    QByteArray scrambled = bytes;
    for (qsizetype i = bytes.size() / 3; i < bytes.size() / 3 + 4000; ++i) {
        scrambled[i] = char(i * 131);
    }
    // Cut short, the index points past the end of the file.
    for (const QByteArray& content : { scrambled, bytes.left(bytes.size() / 2) }) {
        SCOPED_TRACE(content.size());
        const QString path = source(QStringLiteral("damaged.m4a"));
        writeFile(path, content);
        try {
            const auto chunks = split(path, 10, 20'000'000, 1.0);
            expectExported(chunks, chunks.back().end);
            removeChunkFiles();
        } catch (const AudioChunkError& error) {
            EXPECT_EQ(error.kind(), AudioChunkError::Kind::invalidAudio);
        }
        EXPECT_TRUE(chunkFiles().isEmpty());
    }
}

TEST_F(AudioChunkerTest, FailedWriteOrMissingDirectoryIsAFileSystemErrorAndLeavesNoChunkFiles)
{
    // The silent first chunk is small and succeeds; the noisy second one
    // cannot be written.
    synthesize(source("half-noise.wav"), "0.4*(random(0)-0.5)*gte(t,10)", 25.0);
    try {
        FileSizeLimit limit(40'000);
        split(source("half-noise.wav"), 10);
        ADD_FAILURE() << "split succeeded";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), EFBIG);
    }
    EXPECT_TRUE(chunkFiles().isEmpty());

    try {
        TestTasks::run(AudioChunker::split(source("half-noise.wav"), source("absent"), 10, 20'000'000, 0));
        ADD_FAILURE() << "split succeeded";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
}

using QuietBoundaryTest = AudioChunkerTest;

TEST_F(QuietBoundaryTest, OnlyWholeWindowsEndingByTheLimitCountWithEveryChannelsEnergy)
{
    synthesize(source("silence.wav"), "0", 2.0);
    // Loud until 0.1 s, quieter until 0.2 s, silent after: the silent 0.2–0.3
    // window ends past the limit of 0.25.
    synthesize(source("edge.wav"), tone() + "*lt(t,0.1)+" + tone(0.1) + "*between(t,0.1,0.2)", 1.0);
    // First window: silent left, loud right; second: quieter left, silent right.
    run("ffmpeg",
        { "-v", "error", "-y", "-f", "lavfi", "-i",
            QStringLiteral("aevalsrc='%1*between(t,0.1,0.2)|%2*lt(t,0.1)':s=%3:d=1")
                .arg(tone(0.3), tone())
                .arg(kRate),
            source("stereo.wav") });
    const std::tuple<const char*, double, double, double> cases[] = {
        // No window fits: the planned cut.
        { "silence.wav", 1.5, 1.5, 1.5 },
        { "silence.wav", 1.6, 1.5, 1.5 },
        { "silence.wav", 1.45, 1.5, 1.5 },
        { "edge.wav", 0.0, 0.25, 0.15 },
        { "stereo.wav", 0.0, 0.2, 0.15 },
    };
    // A split asks one reader again and again, so each search starts afresh.
    std::map<std::string, std::unique_ptr<AudioReader>> readers;
    for (const int pass : { 1, 2 }) {
        for (const auto& [name, from, to, expected] : cases) {
            auto& reader = readers[name];
            if (!reader) {
                reader = std::make_unique<AudioReader>(source(name));
            }
            EXPECT_DOUBLE_EQ(AudioChunker::detail::quietBoundary(*reader, from, to), expected)
                << name << " " << from << "–" << to << " pass " << pass;
        }
    }
}

} // namespace
