#include "SessionFixture.h"

#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "model/CaptureAdoption.h"
#include "model/JobFolder.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

using namespace SessionTesting;
using namespace std::chrono_literals;

class AppModelAdoptionTest : public SessionTest
{
protected:
    // Runs a model in a child process that records for `duration` (with a
    // tone on the microphone when asked), then kills it without a chance to
    // stop. Returns when it was started.
    Date recordAndKillChild(std::chrono::milliseconds duration, bool withTone)
    {
        const QString tone = xdg.path() + "/tone.wav";
        writeTone(tone, 440, static_cast<double>(duration.count()) / 1000.0);
        QProcess child;
        child.start(QStringLiteral(RECORDING_CHILD_PATH), {});
        const bool ready = child.waitForReadyRead(60000);
        const Date started = Date::now();
        EXPECT_TRUE(ready) << child.readAllStandardError().toStdString();
        EXPECT_EQ(child.readAllStandardOutput().trimmed(), "recording");
        QProcess player;
        if (withTone) {
            player.start("paplay", { "--device=micfeed", tone });
        }
        QTest::qWait(static_cast<int>(duration.count()));
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        child.waitForFinished(10000);
        if (withTone) {
            player.waitForFinished(10000);
        }
        return started;
    }

    // What a run killed right after its recorder stopped leaves behind: the
    // raw capture, its sidecar and the finished mix. Returns the capture.
    QString recordAndStopWithoutKeeping()
    {
        Recorder recorder;
        run(recorder.start(
            CaptureAdoption::details(*Uuids::parse(kUserID), server.baseURL(), "team@example.com", false)));
        const QString raw = *recorder.rawCapturePath();
        QTest::qWait(1500);
        const QString mixed = QCoro::waitFor(recorder.stop());
        EXPECT_EQ(filesIn(Recorder::capturesDirectory()).size(), 3);
        EXPECT_TRUE(QFile::exists(mixed));
        return raw;
    }

    static void waitForAdoption(const SessionModel& model)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isAdoptingCaptures(); }, 120000));
    }

    static void waitForWarning(const SessionModel& model)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return model.captureWarning().has_value(); }, 120000));
    }

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
};

TEST_F(AppModelAdoptionTest, MeetingOfAKilledRunBecomesAPendingJob)
{
    SettingsStore().setString(SettingsStore::kTranscriptEmail, "team@example.com");
    SettingsStore().setBoolean(SettingsStore::kDiarizationEnabled, true);
    const Date started = recordAndKillChild(6000ms, false);
    ASSERT_EQ(filesIn(Recorder::capturesDirectory()).size(), 2);

    SessionModel model;
    waitForWarning(model);
    EXPECT_EQ(model.captureWarning(), "A recording interrupted by a crash was recovered and may end early.");
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    const PendingRecording job = model.pendingRecordings().front();
    EXPECT_EQ(Uuids::text(job.userID), kUserID);
    EXPECT_EQ(job.server, server.baseURL());
    EXPECT_EQ(job.emailTo, "team@example.com");
    EXPECT_EQ(job.diarizationEnabled, true);
    EXPECT_TRUE(job.chunks.empty());
    EXPECT_NEAR(job.recordedAt.sinceReferenceDate, started.sinceReferenceDate, 5.0);
    // A kill loses what the capture had not yet written out: about two
    // seconds here, measured.
    const double seconds = durationSeconds(job.audio());
    EXPECT_GT(seconds, 3.0);
    EXPECT_LT(seconds, 6.5);
    EXPECT_EQ(mode(job.folder()), 0700);
    EXPECT_EQ(mode(job.audio()), 0600);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty())
        << filesIn(Recorder::capturesDirectory()).join(' ').toStdString();

    // Adopted once: the next start finds nothing more to adopt.
    SessionModel restarted;
    QTest::qWait(300);
    EXPECT_EQ(restarted.captureWarning(), std::nullopt);
    EXPECT_EQ(restarted.pendingRecordings().size(), 1U);
}

TEST_F(AppModelAdoptionTest, CaptureWithoutUsableDetailsIsSalvagedAndNamed)
{
    recordAndKillChild(3000ms, true);
    const QStringList sidecars = QDir(Recorder::capturesDirectory()).entryList({ "*.json" });
    ASSERT_EQ(sidecars.size(), 1);
    writeFile(QDir(Recorder::capturesDirectory()).filePath(sidecars.front()), R"({"recordedAt":"soon"})");

    SessionModel model;
    waitForWarning(model);
    const QString warning = *model.captureWarning();
    const QString prefix = "Audio of an interrupted recording without its details was saved to ";
    ASSERT_TRUE(warning.startsWith(prefix)) << warning.toStdString();
    const QString salvaged = warning.mid(prefix.size()).chopped(1);
    EXPECT_TRUE(salvaged.startsWith(Recorder::defaultRecoveryDirectory()));
    EXPECT_GT(durationSeconds(salvaged), 0.5);
    EXPECT_TRUE(model.pendingRecordings().empty());
    // The original is kept beside the salvaged audio, not in the captures.
    EXPECT_EQ(QDir(Recorder::defaultRecoveryDirectory()).entryList({ "*.mp4" }).size(), 1);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
}

TEST_F(AppModelAdoptionTest, CaptureThatCannotBeMixedStaysWhereItIs)
{
    QDir().mkpath(Recorder::capturesDirectory());
    const QString name = "tallisen-" + Uuids::text(QUuid::createUuid());
    const QString capture = QDir(Recorder::capturesDirectory()).filePath(name + ".mp4");
    writeFile(capture, "not a capture at all");
    const QJsonObject sidecar { { "capture", name + ".mp4" }, { "recordedAt", 800000000.0 },
        { "details",
            QJsonObject { { "userID", kUserID }, { "server", server.baseURL().toString() }, { "emailTo", "" },
                { "diarizationEnabled", false } } } };
    writeFile(QDir(Recorder::capturesDirectory()).filePath(name + ".json"), QJsonDocument(sidecar).toJson());

    SessionModel model;
    waitForWarning(model);
    EXPECT_TRUE(model.captureWarning()->startsWith("An interrupted recording could not be recovered ("));
    EXPECT_TRUE(model.captureWarning()->endsWith("it remains at " + capture + "."));
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_EQ(filesIn(Recorder::capturesDirectory()), QStringList({ name + ".json", name + ".mp4" }));
    EXPECT_TRUE(PendingRecording::loadAll().empty());
}

// A crash between the recorder's stop and the job file, and between the job
// file and tidying up, each leave a meeting that must become exactly one job.

TEST_F(AppModelAdoptionTest, KillAfterMixingBeforeTheJobExistedStillMakesTheJob)
{
    const QString raw = recordAndStopWithoutKeeping();

    SessionModel model;
    waitForWarning(model);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    const PendingRecording job = model.pendingRecordings().front();
    EXPECT_EQ(job.id, Recorder::captureID(raw));
    EXPECT_EQ(job.emailTo, "team@example.com");
    EXPECT_GT(durationSeconds(job.audio()), 1.0);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty())
        << filesIn(Recorder::capturesDirectory()).join(' ').toStdString();
}

TEST_F(AppModelAdoptionTest, KillWhileCopyingIntoTheJobFolderRedoesTheCopy)
{
    const QString raw = recordAndStopWithoutKeeping();
    const QString folder = PendingRecording::root() + "/" + Uuids::text(Recorder::captureID(raw).value());
    ASSERT_TRUE(QDir().mkpath(folder));
    writeFile(folder + "/" + PendingRecording::kAudioFileName, "half a copy");

    SessionModel model;
    waitForWarning(model);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    EXPECT_EQ(model.pendingRecordings().front().folder(), folder);
    EXPECT_GT(durationSeconds(model.pendingRecordings().front().audio()), 1.0);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
}

TEST_F(AppModelAdoptionTest, KillAfterTheJobFileWasSavedMakesNoSecondJob)
{
    const QString raw = recordAndStopWithoutKeeping();
    const std::optional<PendingRecording> made
        = CaptureAdoption::jobFromSidecar(raw.chopped(4) + ".json", Recorder::captureID(raw).value());
    ASSERT_TRUE(made.has_value());
    JobFolder::create(*made, raw.chopped(4) + ".m4a");

    SessionModel model;
    waitForAdoption(model);
    EXPECT_EQ(model.captureWarning(), std::nullopt);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    EXPECT_EQ(model.pendingRecordings().front().id, made->id);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty())
        << filesIn(Recorder::capturesDirectory()).join(' ').toStdString();
    // The job that was there is never overwritten.
    EXPECT_THROW(JobFolder::create(*made, made->audio()), FileSystemError);
}
