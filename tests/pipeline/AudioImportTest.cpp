#include "AudioProbe.h"
#include "PipelineFixture.h"

#include "pipeline/AudioImport.h"
#include "pipeline/AudioReader.h"
#include "support/AppFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sys/stat.h>
#include <utime.h>

namespace {

using AppFixtures::runFfmpeg;
using PipelineTesting::readFile;
using PipelineTesting::writeFile;

constexpr double kAacFrameSeconds = 1024.0 / AudioImport::kSampleRate;

struct Imported
{
    int sampleRate = 0;
    int channels = 0;
    AudioProbe::DecodedTrack track;
};

// Decoded as a player outputs it: edit list applied, priming skipped.
Imported readImported(const QString& path)
{
    AudioReader reader(path);
    Imported imported { reader.sampleRate(), reader.channelCount(), {} };
    imported.track.sampleRate = reader.sampleRate();
    std::vector<std::vector<float>> planes(reader.channelCount(), std::vector<float>(4096));
    std::vector<float*> pointers;
    for (auto& plane : planes) {
        pointers.push_back(plane.data());
    }
    while (const int frames = reader.read(pointers.data(), 4096)) {
        imported.track.samples.insert(
            imported.track.samples.end(), planes[0].begin(), planes[0].begin() + frames);
    }
    return imported;
}

class AudioImportTest : public ::testing::Test
{
protected:
    QString input(const QString& name) const { return m_inputs.filePath(name); }
    QString output() const { return m_outputs.filePath("imported.m4a"); }
    QStringList outputs() const { return QDir(m_outputs.path()).entryList(QDir::Files | QDir::Hidden); }

private:
    QTemporaryDir m_inputs;
    QTemporaryDir m_outputs;
};

// Each case of the tables below prints as its name.
template <typename Case>
requires requires(const Case& item)
{
    item.name;
}
void PrintTo(const Case& item, std::ostream* out)
{
    *out << item.name;
}

struct ConvertCase
{
    const char* name;
    const char* file;
    QStringList arguments; // the input options; the output path is appended
    double seconds;
};

class ConvertedInputs : public AudioImportTest, public ::testing::WithParamInterface<ConvertCase>
{
};

const QString kTone = QStringLiteral("aevalsrc=0.4*sin(2*PI*440*t):s=%1:d=%2");

// Every input plays a 440 Hz tone; the two-stream file has a 1000 Hz one second.
INSTANTIATE_TEST_SUITE_P(Files, ConvertedInputs,
    ::testing::Values(
        ConvertCase { "wavStereo44k", "tone.wav",
            { "-f", "lavfi", "-i", "aevalsrc=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*440*t):s=44100:d=3", "-c:a",
                "pcm_s16le" },
            3 },
        ConvertCase {
            "mp3", "tone.mp3", { "-f", "lavfi", "-i", kTone.arg(44100).arg(4), "-c:a", "libmp3lame" }, 4 },
        ConvertCase {
            "opus48k", "tone.opus", { "-f", "lavfi", "-i", kTone.arg(48000).arg(2), "-c:a", "libopus" }, 2 },
        ConvertCase { "videoWithAudio", "meeting.mp4",
            { "-f", "lavfi", "-i", "testsrc=d=3:s=64x64:r=10", "-f", "lavfi", "-i", kTone.arg(32000).arg(3),
                "-c:v", "mpeg4", "-c:a", "aac" },
            3 },
        ConvertCase { "twoAudioStreams", "two.mkv",
            { "-f", "lavfi", "-i", kTone.arg(48000).arg(3), "-f", "lavfi", "-i",
                "aevalsrc=0.4*sin(2*PI*1000*t):s=48000:d=3", "-map", "0", "-map", "1", "-c:a", "flac" },
            3 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ConvertedInputs, BecomeMonoAacAt48kHzOfTheSameLength)
{
    const ConvertCase& item = GetParam();
    const QString source = input(item.file);
    runFfmpeg(item.arguments + QStringList { source });
    std::vector<double> fractions;
    AudioImport::convert(source, output(), { .progress = [&](double f) { fractions.push_back(f); } });

    const Imported imported = readImported(output());
    EXPECT_EQ(imported.sampleRate, AudioImport::kSampleRate);
    EXPECT_EQ(imported.channels, 1);
    EXPECT_NEAR(imported.track.seconds(), item.seconds, kAacFrameSeconds);
    EXPECT_GT(AudioProbe::level(imported.track, 440, 0.5, 1.5), 0.2);
    EXPECT_LT(AudioProbe::level(imported.track, 1000, 0.5, 1.5), 0.02);
    struct stat status
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(output()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(fractions.back(), 1.0);
}

struct RefusedCase
{
    const char* name;
    const char* file;
    std::function<void(const QString& path)> make;
    AudioImportError::Kind kind;
    const char* sentence; // follows the quoted file name
};

class RefusedInputs : public AudioImportTest, public ::testing::WithParamInterface<RefusedCase>
{
};

void writeTruncated(const QString& path)
{
    runFfmpeg({ "-f", "lavfi", "-i", "testsrc=d=2:s=64x64:r=10", "-f", "lavfi", "-i", "sine=d=2", "-c:v",
        "mpeg4", "-c:a", "aac", path + ".whole.mp4" });
    QFile whole(path + ".whole.mp4");
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    writeFile(path, whole.read(whole.size() / 2));
    whole.remove();
}

// A few seconds whose time stamps are stretched: the container states over 4 hours.
void writeStatedTooLong(const QString& path)
{
    runFfmpeg({ "-f", "lavfi", "-i", "sine=d=5", "-c:a", "aac", path + ".short.m4a" });
    runFfmpeg({ "-itsscale", "3000", "-i", path + ".short.m4a", "-c", "copy", "-f", "matroska", path });
    QFile::remove(path + ".short.m4a");
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedInputs,
    ::testing::Values(RefusedCase { "videoOnly", "screen.mp4", AudioProbe::writeVideoOnlyMp4,
                          AudioImportError::Kind::noAudio, " has no audio to import." },
        RefusedCase { "text", "minutes.txt",
            [](const QString& path) { writeFile(path, "Minutes of the meeting\n"); },
            AudioImportError::Kind::unreadable, " is not an audio or video file that can be read." },
        RefusedCase { "empty", "empty.m4a", [](const QString& path) { writeFile(path, {}); },
            AudioImportError::Kind::unreadable, " is not an audio or video file that can be read." },
        RefusedCase { "truncated", "cut.mp4", writeTruncated, AudioImportError::Kind::unreadable,
            " is not an audio or video file that can be read." },
        RefusedCase { "missing", "gone.wav", [](const QString&) {}, AudioImportError::Kind::unreadable,
            " could not be opened: No such file or directory." },
        RefusedCase { "overFourHours", "day.mkv", writeStatedTooLong, AudioImportError::Kind::tooLong,
            " is longer than 4 hours, the longest recording that can be imported." }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(RefusedInputs, SayWhyAndLeaveNothing)
{
    const RefusedCase& item = GetParam();
    const QString source = input(item.file);
    item.make(source);
    const QByteArray before = readFile(source);
    const QStringList beside = QDir(QFileInfo(source).path()).entryList(QDir::Files | QDir::Hidden);
    try {
        AudioImport::convert(source, output());
        FAIL() << "converted";
    } catch (const AudioImportError& error) {
        EXPECT_EQ(error.kind(), item.kind);
        EXPECT_EQ(error.what(), '"' + std::string(item.file) + '"' + item.sentence);
    }
    EXPECT_EQ(readFile(source), before);
    EXPECT_EQ(QDir(QFileInfo(source).path()).entryList(QDir::Files | QDir::Hidden), beside);
    EXPECT_TRUE(outputs().isEmpty()) << outputs().join(", ").toStdString();
}

// A cancel part-way removes what was written (the model's tests fill the
// disk); a file already at the output is kept and refused.
TEST_F(AudioImportTest, StoppedPartWayLeavesNoOutput)
{
    const QString source = input("long.wav");
    AudioProbe::writeToneWav(source, 440, 20, 0.4);
    const QByteArray before = readFile(source);
    int polls = 0;
    try {
        AudioImport::convert(source, output(), { .cancelled = [&] { return ++polls > 3; } });
        ADD_FAILURE() << "converted despite the cancel";
    } catch (const AudioImportError& error) {
        EXPECT_EQ(error.kind(), AudioImportError::Kind::cancelled);
    }
    EXPECT_TRUE(outputs().isEmpty());

    writeFile(output(), "someone else's");
    EXPECT_THROW(AudioImport::convert(source, output()), AudioImportError);
    EXPECT_EQ(readFile(output()), "someone else's");
    EXPECT_EQ(readFile(source), before);
}

struct DatedCase
{
    const char* name;
    const char* file;
    QStringList tags; // ffmpeg output options
    std::optional<QString> tagged;
};

class RecordingTimes : public AudioImportTest, public ::testing::WithParamInterface<DatedCase>
{
};

INSTANTIATE_TEST_SUITE_P(Files, RecordingTimes,
    ::testing::Values(DatedCase { "containerTag", "call.mp4",
                          { "-metadata", "creation_time=2024-05-06T07:08:09Z" }, "2024-05-06T07:08:09Z" },
        // Ogg keeps its tags on the stream.
        DatedCase { "streamTag", "call.opus",
            { "-metadata:s:a:0", "creation_time=2023-11-12T13:14:15.250000Z" }, "2023-11-12T13:14:15.250Z" },
        DatedCase { "matroskaTag", "call.mkv", { "-metadata", "creation_time=2022-01-02T03:04:05Z" },
            "2022-01-02T03:04:05Z" },
        DatedCase { "untagged", "call.wav", {}, std::nullopt }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(RecordingTimes, ComeFromTheTagElseTheModificationTime)
{
    const DatedCase& item = GetParam();
    const QString source = input(item.file);
    runFfmpeg(QStringList { "-f", "lavfi", "-i", "sine=d=1" } + item.tags + QStringList { source });
    // An hour and a half ago, to the second, so it differs from any tag and from now.
    const time_t modified = time(nullptr) - 5400;
    const utimbuf times { modified, modified };
    ASSERT_EQ(::utime(QFile::encodeName(source).constData(), &times), 0);

    const Date expected = item.tagged
        ? Date::fromQDateTime(QDateTime::fromString(*item.tagged, Qt::ISODateWithMs))
        : Date::fromUnixSeconds(double(modified));
    EXPECT_EQ(AudioImport::recordedAt(source), expected);
}

} // namespace
