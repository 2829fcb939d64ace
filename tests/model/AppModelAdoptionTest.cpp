#include "SessionFixture.h"

#include "core/Uuids.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

using namespace SessionTesting;
using namespace std::chrono_literals;

class AppModelAdoptionTest : public SessionTest
{
protected:
    // Runs a model in a child process that records for `duration`, then
    // kills it without a chance to stop. Returns when it was started.
    static Date recordAndKillChild(std::chrono::milliseconds duration)
    {
        QProcess child;
        child.start(QStringLiteral(RECORDING_CHILD_PATH), {});
        const bool ready = child.waitForReadyRead(60000);
        const Date started = Date::now();
        EXPECT_TRUE(ready) << child.readAllStandardError().toStdString();
        EXPECT_EQ(child.readAllStandardOutput().trimmed(), "recording");
        QTest::qWait(static_cast<int>(duration.count()));
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        child.waitForFinished(10000);
        return started;
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
    const Date started = recordAndKillChild(4000ms);
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
    EXPECT_NEAR(durationSeconds(job.audio()), 4.0, 1.5);
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
    recordAndKillChild(1500ms);
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
