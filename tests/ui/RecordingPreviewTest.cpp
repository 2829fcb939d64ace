#include "ui/RecordingPreview.h"
#include "ui/WaveformStrip.h"

#include "support/TemporaryXdg.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

namespace {

PendingRecording makeJob()
{
    return PendingRecording {
        .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = QUrl("https://api.tallisen.com"),
        .recordedAt = Date { 786000000 },
        .emailTo = "",
    };
}

void writeTone(const QString& path, double seconds)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            QString("sine=frequency=440:duration=%1").arg(seconds), "-c:a", "aac", path });
    ASSERT_TRUE(ffmpeg.waitForFinished(30000));
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

QPushButton* button(QWidget& parent, const QString& text)
{
    for (auto* candidate : parent.findChildren<QPushButton*>()) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

class RecordingPreviewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_job = makeJob();
        ASSERT_TRUE(QDir().mkpath(m_job.folder()));
    }

    TemporaryXdg m_xdg;
    PendingRecording m_job;
};

} // namespace

TEST(RecordingPreviewTime, FormatsMinutesWithoutHours)
{
    EXPECT_EQ(RecordingPreview::time(0), "0:00");
    EXPECT_EQ(RecordingPreview::time(5.9), "0:05");
    EXPECT_EQ(RecordingPreview::time(3725), "62:05");
    EXPECT_EQ(RecordingPreview::time(75 * 60), "75:00");
    EXPECT_EQ(RecordingPreview::time(-3), "0:00");
    EXPECT_EQ(RecordingPreview::time(std::nan("")), "0:00");
}

TEST_F(RecordingPreviewTest, MissingFileShowsItsErrorAndNoPlayerButDoneCloses)
{
    RecordingPreview preview(m_job);
    preview.show();
    ASSERT_TRUE(preview.error());
    EXPECT_TRUE(preview.error()->contains("recording.m4a"));
    EXPECT_FALSE(preview.hasPlayer());
    EXPECT_FALSE(preview.findChild<QSlider*>()->isVisibleTo(&preview));
    QTest::keyClick(&preview, Qt::Key_Return);
    EXPECT_FALSE(preview.isVisible());
    EXPECT_EQ(preview.result(), QDialog::Accepted);
}

TEST_F(RecordingPreviewTest, FileThatIsNotAudioShowsAnError)
{
    QFile file(m_job.audio());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is not audio at all");
    file.close();
    RecordingPreview preview(m_job);
    preview.show();
    EXPECT_TRUE(waitUntil([&] { return preview.error().has_value(); }));
    EXPECT_FALSE(preview.hasPlayer());
    EXPECT_NE(preview.player().playbackState(), QMediaPlayer::PlayingState);
}

TEST_F(RecordingPreviewTest, PlaysSeeksWhilePausedAndRestartsAtTheEnd)
{
    writeTone(m_job.audio(), 1.5);
    const QByteArray before = [&] {
        QFile f(m_job.audio());
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
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
    EXPECT_EQ(button(preview, "Pause") != nullptr, true);
    ASSERT_TRUE(waitUntil([&] { return preview.player().mediaStatus() == QMediaPlayer::EndOfMedia; }));
    ASSERT_TRUE(waitUntil([&] { return !preview.isPlaying(); }));
    preview.seek(preview.player().duration() / 1000.0);

    preview.togglePlayback();
    EXPECT_TRUE(preview.isPlaying());
    EXPECT_LT(preview.player().position(), 500) << "play after the end starts again from the beginning";

    preview.close();
    EXPECT_EQ(preview.player().playbackState(), QMediaPlayer::StoppedState) << "closing stops the sound";
    QFile after(m_job.audio());
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), before) << "nothing on disk changes";
}

TEST_F(RecordingPreviewTest, WaveformFollowsTheLoudnessOfTheFile)
{
    // One silent second, then a tone at half scale.
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            "aevalsrc=if(gte(t\\,1)\\,0.5*sin(2*PI*440*t)\\,0):s=48000:d=2", "-c:a", "aac", m_job.audio() });
    ASSERT_TRUE(ffmpeg.waitForFinished(30000));
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();

    const auto peaks = WaveformStrip::computePeaks(m_job.audio(), 20);
    ASSERT_EQ(peaks.size(), 20u);
    EXPECT_LT(*std::max_element(peaks.begin(), peaks.begin() + 9), 0.05f) << "the silent half stays flat";
    EXPECT_GT(*std::min_element(peaks.begin() + 11, peaks.end()), 0.4f) << "the tone half shows its level";
    EXPECT_LT(*std::max_element(peaks.begin(), peaks.end()), 0.6f);
    EXPECT_TRUE(WaveformStrip::computePeaks(m_job.folder() + "/missing.m4a", 20).empty());
}
