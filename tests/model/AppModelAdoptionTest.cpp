#include "SessionFixture.h"

#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "model/CaptureAdoption.h"
#include "model/JobFolder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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
        if (withTone) {
            writeTone(tone, 440, static_cast<double>(duration.count()) / 1000.0);
        }
        RecordingChild child;
        const bool ready = child.awaitRecording();
        const Date started = Date::now();
        EXPECT_TRUE(ready) << child.errors().toStdString();
        QProcess player;
        if (withTone) {
            player.start("paplay", { "--device=micfeed", tone });
        }
        QTest::qWait(static_cast<int>(duration.count()));
        child.kill();
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
    waitForAdoption(model);
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

TEST_F(AppModelAdoptionTest, CaptureWithoutUsableDetailsIsSalvagedAndOneThatCannotBeMixedStaysWhereItIs)
{
    recordAndKillChild(3000ms, true);
    const QDir captures(Recorder::capturesDirectory());
    const QStringList sidecars = captures.entryList({ "*.json" });
    ASSERT_EQ(sidecars.size(), 1);
    writeFile(captures.filePath(sidecars.front()), R"({"recordedAt":"soon"})");
    const QString name = "tallisen-" + Uuids::text(QUuid::createUuid());
    const QString broken = captures.filePath(name + ".mp4");
    writeFile(broken, "not a capture at all");
    const QJsonObject details { { "userID", kUserID }, { "server", server.baseURL().toString() },
        { "emailTo", "" }, { "diarizationEnabled", false } };
    writeFile(captures.filePath(name + ".json"),
        QJsonDocument(QJsonObject { { "capture", name + ".mp4" }, { "recordedAt", 800000000.0 },
                          { "details", details } })
            .toJson());

    SessionModel model;
    waitForAdoption(model);
    const QString warning = model.captureWarning().value_or("");
    const QRegularExpressionMatch salvaged = QRegularExpression(
        R"(Audio of an interrupted recording without its details was saved to (\S+)\.(\s|$))")
                                                 .match(warning);
    ASSERT_TRUE(salvaged.hasMatch()) << warning.toStdString();
    EXPECT_TRUE(salvaged.captured(1).startsWith(Recorder::defaultRecoveryDirectory()));
    EXPECT_GT(durationSeconds(salvaged.captured(1)), 0.5);
    EXPECT_TRUE(warning.contains("An interrupted recording could not be recovered ("))
        << warning.toStdString();
    EXPECT_TRUE(warning.contains("it remains at " + broken + "."));
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    // The salvaged one's original is kept beside its audio, the other in the captures.
    EXPECT_EQ(QDir(Recorder::defaultRecoveryDirectory()).entryList({ "*.mp4" }).size(), 1);
    EXPECT_EQ(filesIn(captures.path()), QStringList({ name + ".json", name + ".mp4" }));
}

// A crash between the recorder's stop and the job file, while copying into
// the job folder, or after the job file each leave a meeting that must
// become exactly one job.
enum class KilledAt
{
    beforeTheJob,
    whileCopying,
    afterTheJobFile
};

class AppModelKillAfterStopTest : public AppModelAdoptionTest, public ::testing::WithParamInterface<KilledAt>
{
};

TEST_P(AppModelKillAfterStopTest, LeavesExactlyOneJobNamedAfterTheCapture)
{
    const QString raw = recordAndStopWithoutKeeping();
    const QUuid id = Recorder::captureID(raw).value();
    const QString folder = PendingRecording::root() + "/" + Uuids::text(id);
    std::optional<PendingRecording> made;
    if (GetParam() == KilledAt::whileCopying) {
        ASSERT_TRUE(QDir().mkpath(folder));
        writeFile(folder + "/" + PendingRecording::kAudioFileName, "half a copy");
    } else if (GetParam() == KilledAt::afterTheJobFile) {
        made = CaptureAdoption::jobFromSidecar(raw.chopped(4) + ".json", id);
        ASSERT_TRUE(made.has_value());
        JobFolder::create(*made, raw.chopped(4) + ".m4a");
    }

    SessionModel model;
    waitForAdoption(model);
    // Only a meeting that was not yet a job is reported as recovered.
    EXPECT_EQ(model.captureWarning().has_value(), !made);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    const PendingRecording job = model.pendingRecordings().front();
    EXPECT_EQ(job.id, id);
    EXPECT_EQ(job.folder(), folder);
    EXPECT_EQ(job.emailTo, "team@example.com");
    EXPECT_GT(durationSeconds(job.audio()), 1.0);
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty())
        << filesIn(Recorder::capturesDirectory()).join(' ').toStdString();
    if (made) {
        // The job that was there is never overwritten.
        EXPECT_THROW(JobFolder::create(*made, made->audio()), FileSystemError);
    }
}

std::string killName(const ::testing::TestParamInfo<KilledAt>& info)
{
    const char* const names[] = { "BeforeTheJob", "WhileCopying", "AfterTheJobFile" };
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Kills, AppModelKillAfterStopTest,
    ::testing::Values(KilledAt::beforeTheJob, KilledAt::whileCopying, KilledAt::afterTheJobFile), killName);
