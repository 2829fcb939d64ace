#include "capture/TrackMixer.h"
#include "capture/Recorder.h"
#include "capture/RecorderError.h"
#include "media/FFmpegHandles.h"

#include "AudioProbe.h"
#include "support/FileSizeLimit.h"
#include "support/RunTask.h"

#include <QCoro/QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using AudioProbe::Tone;

namespace {

class TrackMixerTest : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return m_directory.path() + u'/' + name; }

    // Mixes and returns the one decoded track of the result.
    AudioProbe::DecodedTrack mix(const QString& source)
    {
        const QString mixed = path(QStringLiteral("mixed.m4a"));
        TestTasks::run(Recorder::mixAudio(source, mixed));
        const auto tracks = AudioProbe::decode(mixed);
        EXPECT_EQ(tracks.size(), 1U);
        return tracks.empty() ? AudioProbe::DecodedTrack {} : tracks.front();
    }

    RecorderError::Kind mixFailure(const QString& source)
    {
        try {
            TestTasks::run(Recorder::mixAudio(source, path(QStringLiteral("mixed.m4a"))));
        } catch (const RecorderError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "mixing did not fail";
        return RecorderError::Kind::notRecording;
    }

    QTemporaryDir m_directory;
};

// Two tracks play at seven tenths each and the sum is not normalised; a
// single track keeps its full volume.
TEST_F(TrackMixerTest, TwoTracksPlayAtSevenTenthsEach)
{
    const struct
    {
        std::vector<Tone> tones;
        std::vector<std::pair<double, double>> levels; // frequency, level
    } cases[] = {
        { { Tone { 440, 3, 0.5 }, Tone { 1000, 3, 0.4 } }, { { 440, 0.35 }, { 1000, 0.28 } } },
        { { Tone { 440, 3, 0.5 }, Tone { 440, 3, 0.5 } }, { { 440, 0.7 } } },
        { { Tone { 1000, 3, 0.5 } }, { { 1000, 0.5 } } },
    };
    for (const auto& test : cases) {
        const QString source = path(QStringLiteral("tones.mp4"));
        AudioProbe::writeToneMp4(source, test.tones);
        const auto mixed = mix(source);
        EXPECT_NEAR(mixed.seconds(), 3.0, 0.05);
        for (const auto& [frequency, level] : test.levels) {
            EXPECT_NEAR(AudioProbe::level(mixed, frequency, 0.5, 2.5), level, 0.025)
                << test.tones.size() << " tracks, " << frequency << " Hz";
        }
    }
}

// The result is private and the source untouched.
TEST_F(TrackMixerTest, TracksKeepTheirOffsets)
{
    const QString source = path(QStringLiteral("offset.mp4"));
    AudioProbe::writeToneMp4(source, { Tone { 440, 3, 0.5 }, Tone { 1000, 2, 0.5, 1.5 } });
    const auto hash = [&source] {
        QFile file(source);
        return file.open(QIODevice::ReadOnly)
            ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
            : QByteArray();
    };
    const QByteArray before = hash();

    const auto mixed = mix(source);

    EXPECT_NEAR(mixed.seconds(), 3.5, 0.06);
    EXPECT_NEAR(AudioProbe::onset(mixed, 440, 0.15), 0.0, 0.03);
    EXPECT_NEAR(AudioProbe::onset(mixed, 1000, 0.15), 1.5, 0.04);
    EXPECT_LT(AudioProbe::level(mixed, 1000, 0.2, 1.4), 0.02);
    // The later track runs on after the first has ended.
    EXPECT_NEAR(AudioProbe::level(mixed, 1000, 3.1, 3.4), 0.35, 0.03);
    EXPECT_LT(AudioProbe::level(mixed, 440, 3.1, 3.4), 0.02);
    EXPECT_FALSE(before.isEmpty());
    EXPECT_EQ(hash(), before);
    EXPECT_EQ(QFileInfo(path(QStringLiteral("mixed.m4a"))).permissions() & QFileDevice::Permissions(0x7777),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("mixed.m4a.partial.m4a"))));
}

// A mix cut into segments encoded side by side joins without a seam: the
// same length to the sample as the single encode, the same level throughout
// and no shift, with tracks that start or end inside a segment. The AAC
// encoder's own noise on pure tones differs between any two encodes, so the
// bounds are well above it and well below a lost, shifted or doubled frame.
TEST_F(TrackMixerTest, SegmentsJoinWithoutASeam)
{
    const std::vector<Tone> layouts[] = {
        { Tone { 440, 6, 0.5 }, Tone { 1013, 6, 0.4 } },
        { Tone { 440, 2, 0.5 }, Tone { 1013, 4, 0.4, 2.5 } },
        { Tone { 660, 6.3, 0.6 } },
    };
    for (const auto& tones : layouts) {
        SCOPED_TRACE(tones.size() == 1      ? "one track"
                : tones[1].startSeconds > 0 ? "late track"
                                            : "two tracks");
        const QString source = path(QStringLiteral("tones.mp4"));
        AudioProbe::writeToneMp4(source, tones);
        TrackMixer::mix(source, path(QStringLiteral("single.m4a")), 1);
        const auto single = AudioProbe::decode(path(QStringLiteral("single.m4a")));
        for (const int segments : { 2, 3, 5 }) {
            SCOPED_TRACE(segments);
            TrackMixer::mix(source, path(QStringLiteral("joined.m4a")), segments);
            const auto joined = AudioProbe::decode(path(QStringLiteral("joined.m4a")));
            ASSERT_EQ(joined.size(), 1U);
            ASSERT_EQ(joined[0].samples.size(), single[0].samples.size());
            EXPECT_LT(AudioProbe::relativeDifference(single[0], joined[0]), 0.3);
            for (double from = 0; from + 0.5 <= single[0].seconds(); from += 0.5) {
                for (const Tone& tone : tones) {
                    EXPECT_NEAR(AudioProbe::level(joined[0], tone.frequency, from, from + 0.5),
                        AudioProbe::level(single[0], tone.frequency, from, from + 0.5), 0.04)
                        << tone.frequency << " Hz at " << from << " s";
                }
            }
            EXPECT_EQ(QDir(m_directory.path()).entryList(QDir::Files).size(), 3);
        }
    }
}

TEST_F(TrackMixerTest, SourcesWithoutUsableAudioFail)
{
    // A video track alone, or an empty track beside a good one, is no audio.
    AudioProbe::writeVideoOnlyMp4(path(QStringLiteral("video.mp4")));
    AudioProbe::writeMp4WithEmptySecondTrack(path(QStringLiteral("empty-second.mp4")));
    for (const QString& name : { QStringLiteral("video.mp4"), QStringLiteral("empty-second.mp4") }) {
        EXPECT_EQ(mixFailure(path(name)), RecorderError::Kind::noAudio) << name.toStdString();
        EXPECT_FALSE(QFile::exists(path(QStringLiteral("mixed.m4a"))));
    }

    // An unreadable or missing source passes the FFmpeg error on.
    QFile garbage(path(QStringLiteral("garbage.mp4")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    for (const QString& name : { QStringLiteral("garbage.mp4"), QStringLiteral("missing.mp4") }) {
        EXPECT_THROW(
            TestTasks::run(Recorder::mixAudio(path(name), path(QStringLiteral("mixed.m4a")))), FFmpeg::Error)
            << name.toStdString();
    }
}

TEST_F(TrackMixerTest, AFailedMixLeavesNoPartialCopyBehind)
{
    const QString source = path(QStringLiteral("capture.mp4"));
    AudioProbe::writeToneMp4(source, { Tone { 440, 8, 0.5 }, Tone { 1000, 8, 0.5 } });
    const QString mixed = path(QStringLiteral("mixed.m4a"));
    {
        FileSizeLimit limit(16'000);
        EXPECT_THROW(TrackMixer::mix(source, mixed), FFmpeg::Error);
    }
    EXPECT_EQ(QDir(m_directory.path()).entryList(QDir::Files), QStringList(QStringLiteral("capture.mp4")));

    // The same folder mixes normally once there is room again.
    TrackMixer::mix(source, mixed);
    EXPECT_TRUE(QFileInfo(mixed).isFile());
}

// A capture whose second track names an impossible sample size (found by
// fuzzing): the decoder reports the damage when asked for the frame rather
// than when given the packet, which used to fail the whole mix.
TEST_F(TrackMixerTest, ADamagedPacketCostsOnlyItsOwnSamples)
{
    const QString source = QStringLiteral(FUZZ_SEEDS_DIR "/mixer_media/damaged-sample-size.mp4");
    ASSERT_TRUE(QFileInfo(source).isFile());

    const auto mixed = mix(source);

    EXPECT_GE(mixed.seconds(), 1.0);
    EXPECT_GT(AudioProbe::level(mixed, 440, 0.2, 0.8), 0.05);
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("mixed.m4a.partial.m4a"))));
}

// A capture whose second track claims to start 16 days in (found by fuzzing):
// mixing it once meant encoding days of silence until the disk was full.
TEST_F(TrackMixerTest, ATrackStartingLongAfterTheOthersEndIsRefused)
{
    // The second, also found by fuzzing, has time stamps that jump days ahead
    // between packets, so its span, unlike its sound, outlasted the start.
    for (const char* name : { "late-track-start.flv", "jumping-time-stamps.flv" }) {
        SCOPED_TRACE(name);
        const QString source = QStringLiteral(FUZZ_SEEDS_DIR "/mixer_media/") + QLatin1String(name);
        ASSERT_TRUE(QFileInfo(source).isFile());
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(mixFailure(source), RecorderError::Kind::cannotMix);
        EXPECT_LT(timer.elapsed(), 10'000);
        EXPECT_TRUE(QDir(m_directory.path()).entryList(QDir::Files).isEmpty());
    }

    // A track that starts late but within the others' length keeps its place.
    const QString late = path(QStringLiteral("late.mp4"));
    AudioProbe::writeToneMp4(late, { Tone { 440, 2, 0.5 }, Tone { 1000, 1, 0.5, 1.8 } });
    EXPECT_NEAR(AudioProbe::onset(mix(late), 1000, 0.15), 1.8, 0.04);
}

} // namespace
