// A full disk under the data folder (a small tmpfs; root only) at each place
// the program writes. Each ends in an error that says the disk is full with
// everything recorded kept; with space again the next start saves it once.

#include "ChaosWorld.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const QString kDiskFull = QStringLiteral("No space left on device");

class FullDisk : public SharedChaosWorld
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting a small file system needs root";
        }
        m_mountPoint = world().temporaryPath() + QStringLiteral("/small-disk");
        QDir().mkpath(m_mountPoint);
        if (!ChaosWorld::run(QStringLiteral("mount"),
                { "-t", "tmpfs", "-o", "size=16m,mode=0700", "tmpfs", m_mountPoint })) {
            GTEST_SKIP() << "this machine does not let even root mount a small file system";
        }
        m_mounted = true;
        m_savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_mountPoint));
        SharedChaosWorld::SetUp();
    }

    void TearDown() override
    {
        SharedChaosWorld::TearDown();
        if (m_mounted) {
            qputenv("XDG_DATA_HOME", m_savedDataHome);
            EXPECT_TRUE(ChaosWorld::run(QStringLiteral("umount"), { m_mountPoint }));
        }
    }

    QString filler() const { return m_mountPoint + QStringLiteral("/filler"); }
    QDir captures() const { return QDir(m_mountPoint + QStringLiteral("/Tallisen/Captures")); }

    // Takes all free space but `leaveBytes`; again if the program wrote meanwhile.
    void fillDisk(qint64 leaveBytes = 0) const
    {
        bool filled = false;
        for (int attempt = 0; attempt < 3 && !filled; ++attempt) {
            const QString free
                = ChaosWorld::run(QStringLiteral("df"), { "--output=avail", "-B1", m_mountPoint })
                      .value_or(QString());
            const qint64 available = free.section(u'\n', -1).trimmed().toLongLong();
            filled = available > leaveBytes
                && ChaosWorld::run(
                    QStringLiteral("fallocate"), { "-l", QString::number(available - leaveBytes), filler() });
        }
        EXPECT_TRUE(filled);
    }

    // After the space is freed, the next start finds the meeting as one job.
    PendingRecording freeDiskAndAdopt() const
    {
        QFile::remove(filler());
        EXPECT_EQ(ChaosWorld::cli({ "jobs" }).exitCode, 0);
        const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
        EXPECT_EQ(jobs.size(), 1u);
        return jobs.empty() ? PendingRecording {} : jobs.front();
    }

    void expectSavedOnce()
    {
        ChaosWorld::resumeAll();
        EXPECT_EQ(world().newTranscripts(), 1);
    }

    static void expectDiskFullError(const CliResult& end)
    {
        EXPECT_EQ(end.exitCode, 1) << end.errors.toStdString();
        EXPECT_TRUE(end.errors.contains(kDiskFull)) << end.errors.toStdString();
        ChaosWorld::expectJobFilesReadable();
    }

    // A job stopped before its chunks are cut, by speaker detection briefly down.
    PendingRecording jobBeforeChunking()
    {
        world().proxy().inject(FaultProxy::Fault::serverError, 1000, "/v1/diarizations/");
        const CliResult road = world().recordMeeting(3, true);
        world().proxy().clearFaults();
        EXPECT_EQ(road.exitCode, 1) << road.errors.toStdString();
        const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
        EXPECT_EQ(jobs.size(), 1u);
        EXPECT_TRUE(jobs.empty() || jobs.front().chunks.empty());
        return jobs.empty() ? PendingRecording {} : jobs.front();
    }

    QString m_mountPoint;
    QByteArray m_savedDataHome;
    bool m_mounted = false;
};

TEST_F(FullDisk, WhileCapturing)
{
    // Filled once most of the speech is in, so the kept part has words.
    const CliResult road = world().recordMeeting(8, false, { .action = [this] {
        QThread::msleep(3500);
        fillDisk();
    } });
    expectDiskFullError(road);
    EXPECT_FALSE(captures().entryList(QDir::Files).isEmpty()) << road.errors.toStdString();
    // 3.5 s were played; at most the fragment being gathered and the one the
    // full disk cut off (0.5 s each) are missing.
    EXPECT_GE(ChaosWorld::mediaSeconds(freeDiskAndAdopt().audio()), 2.4);
    expectSavedOnce();
}

TEST_F(FullDisk, WhileMixing)
{
    // A crash leaves the raw capture; the next start mixes it into a job.
    world().recordMeeting(8, false, { .action = [] { QThread::msleep(4000); }, .killAfter = true });
    const QStringList raw = captures().entryList({ QStringLiteral("*.mp4") }, QDir::Files);
    ASSERT_EQ(raw.size(), 1);
    const double captured = ChaosWorld::mediaSeconds(captures().filePath(raw.front()));
    fillDisk();
    const CliResult start = ChaosWorld::cli({ "jobs" });
    EXPECT_TRUE(start.errors.contains(kDiskFull)) << start.errors.toStdString();
    EXPECT_TRUE(start.errors.contains(QStringLiteral("could not be recovered")))
        << start.errors.toStdString();
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    EXPECT_EQ(captures().entryList(QDir::Files).size(), 2)
        << "only the capture and its details are kept: " << captures().entryList().join(' ').toStdString();

    EXPECT_NEAR(ChaosWorld::mediaSeconds(freeDiskAndAdopt().audio()), captured, 0.1);
    expectSavedOnce();
}

// Without room for a chunk the job is left as it was; without any room its
// file is not even rewritten.
TEST_F(FullDisk, WhileCuttingChunksOrSavingTheJob)
{
    for (const qint64 leave : { 8 * 1024, 0 }) {
        SCOPED_TRACE(testing::Message() << "leaving " << leave << " bytes");
        world().beginTrial();
        const PendingRecording job = jobBeforeChunking();
        QFile jobFile(QDir(job.folder()).filePath(PendingRecording::kJobFileName));
        ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
        const QByteArray before = jobFile.readAll();
        jobFile.close();
        fillDisk(leave);
        expectDiskFullError(ChaosWorld::cli({ "retry", job.id.toString(QUuid::WithoutBraces) }));
        const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_TRUE(jobs.front().chunks.empty());
        EXPECT_EQ(QDir(job.folder()).entryList(QDir::Files), QStringList({ "job.json", "recording.m4a" }));
        if (leave == 0) {
            ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
            EXPECT_EQ(jobFile.readAll(), before) << "the job file changed on a full disk";
        }
        QFile::remove(filler());
        expectSavedOnce();
    }
}

} // namespace
