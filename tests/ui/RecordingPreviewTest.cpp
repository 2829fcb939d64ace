#include "ui/RecordingPreview.h"
#include "ui/WaveformStrip.h"

#include "support/AppFixtures.h"
#include "support/TemporaryXdg.h"

#include "Widgets.h"

#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

using namespace AppFixtures;

namespace {

bool waitUntil(const std::function<bool()>& condition)
{
    return QTest::qWaitFor(condition, 10000);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

class RecordingPreviewTest : public ::testing::Test
{
protected:
    TemporaryXdg m_xdg;
    PendingRecording m_job = savedJob(QUrl("https://api.tallisen.com"), Date { 786000000 });
};

} // namespace

TEST(RecordingPreviewTime, FormatsMinutesWithoutHours)
{
    const std::pair<double, const char*> cases[] = { { 0, "0:00" }, { 5.9, "0:05" }, { 3725, "62:05" },
        { 75 * 60, "75:00" }, { -3, "0:00" }, { std::nan(""), "0:00" } };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(RecordingPreview::time(seconds), text) << seconds;
    }
}

TEST_F(RecordingPreviewTest, MissingOrUnplayableFileShowsItsErrorAndNoPlayerButDoneCloses)
{
    for (const bool present : { false, true }) {
        SCOPED_TRACE(present ? "not audio" : "missing");
        if (present) {
            QFile file(m_job.audio());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("this is not audio at all");
        }
        RecordingPreview preview(m_job);
        preview.show();
        ASSERT_TRUE(waitUntil([&] { return preview.error().has_value(); }));
        EXPECT_TRUE(present || preview.error()->contains("recording.m4a")) << preview.error()->toStdString();
        EXPECT_FALSE(preview.hasPlayer());
        EXPECT_NE(preview.player().playbackState(), QMediaPlayer::PlayingState);
        EXPECT_FALSE(preview.findChild<QSlider*>()->isVisibleTo(&preview));
        QTest::keyClick(&preview, Qt::Key_Return);
        EXPECT_FALSE(preview.isVisible());
        EXPECT_EQ(preview.result(), QDialog::Accepted);
    }
}

TEST_F(RecordingPreviewTest, PlaysSeeksWhilePausedAndRestartsAtTheEndChangingNothingOnDisk)
{
    writeAudio(m_job.audio(), "sine=frequency=440:duration=1.5");
    const QByteArray before = contents(m_job.audio());
    RecordingPreview preview(m_job);
    preview.show();
    ASSERT_TRUE(waitUntil([&] { return preview.hasPlayer(); })) << preview.error().value_or("").toStdString();
    EXPECT_TRUE(preview.findChild<QSlider*>()->isVisibleTo(&preview));
    EXPECT_FALSE(preview.isPlaying()) << "nothing plays until the user asks";
    ASSERT_TRUE(waitUntil([&] { return preview.player().duration() > 0; }));
    EXPECT_EQ(preview.findChild<QSlider*>()->maximum(), preview.player().duration());

    preview.seek(0.75);
    EXPECT_DOUBLE_EQ(preview.position(), 0.75);
    EXPECT_NE(preview.player().playbackState(), QMediaPlayer::PlayingState)
        << "seeking does not start playback";

    preview.togglePlayback();
    EXPECT_TRUE(preview.isPlaying());
    EXPECT_NE(childWithText<QPushButton>(preview, "Pause"), nullptr);
    ASSERT_TRUE(waitUntil([&] { return preview.player().mediaStatus() == QMediaPlayer::EndOfMedia; }));
    ASSERT_TRUE(waitUntil([&] { return !preview.isPlaying(); }));
    preview.seek(preview.player().duration() / 1000.0);

    preview.togglePlayback();
    EXPECT_TRUE(preview.isPlaying());
    EXPECT_LT(preview.player().position(), 500) << "play after the end starts again from the beginning";

    preview.close();
    EXPECT_EQ(preview.player().playbackState(), QMediaPlayer::StoppedState) << "closing stops the sound";
    EXPECT_EQ(contents(m_job.audio()), before);
}

TEST_F(RecordingPreviewTest, WaveformFollowsTheLoudnessOfTheFile)
{
    // One silent second, then a tone at half scale.
    writeAudio(m_job.audio(), "aevalsrc=if(gte(t\\,1)\\,0.5*sin(2*PI*440*t)\\,0):s=48000:d=2");
    const auto peaks = WaveformStrip::computePeaks(m_job.audio(), 20);
    ASSERT_EQ(peaks.size(), 20u);
    EXPECT_LT(*std::max_element(peaks.begin(), peaks.begin() + 9), 0.05f) << "the silent half stays flat";
    EXPECT_GT(*std::min_element(peaks.begin() + 11, peaks.end()), 0.4f) << "the tone half shows its level";
    EXPECT_LT(*std::max_element(peaks.begin(), peaks.end()), 0.6f);
    EXPECT_TRUE(WaveformStrip::computePeaks(m_job.folder() + "/missing.m4a", 20).empty());
}
