// A full disk under the app's data folder, met by the real program at each
// place it writes: while capturing, while mixing, while cutting chunks and
// while saving the job. The folder is a small tmpfs mounted for the test
// (root only; skipped elsewhere). Each must end in an error that says the
// disk is full, with everything already recorded kept; once space is freed,
// the next start finishes the meeting and saves its transcript once.

#include "ChaosWorld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using Fault = FaultProxy::Fault;

const QString kDiskFull = QStringLiteral("No space left on device");

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

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
        if (!run(QStringLiteral("mount"),
                { "-t", "tmpfs", "-o", "size=16m,mode=0700", "tmpfs", m_mountPoint })) {
            GTEST_SKIP() << "this machine does not let even root mount a small file system";
        }
        m_mounted = true;
        m_savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_mountPoint));
        m_savedBefore = world().savedTranscripts();
    }

    void TearDown() override
    {
        world().proxy().clearFaults();
        if (!m_mounted) {
            return;
        }
        qputenv("XDG_DATA_HOME", m_savedDataHome);
        EXPECT_TRUE(run(QStringLiteral("umount"), { m_mountPoint }));
    }

    int newTranscripts() const { return world().savedTranscripts() - m_savedBefore; }
    QString filler() const { return m_mountPoint + QStringLiteral("/filler"); }

    // Takes all free space but `leaveBytes`.
    void fillDisk(qint64 leaveBytes = 0) const
    {
        struct statvfs disk
        {
        };
        ASSERT_EQ(::statvfs(QFile::encodeName(m_mountPoint).constData(), &disk), 0);
        const qint64 available = static_cast<qint64>(disk.f_bavail) * static_cast<qint64>(disk.f_frsize);
        const int fd = ::open(QFile::encodeName(filler()).constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        struct stat status
        {
        };
        ::fstat(fd, &status);
        if (available > leaveBytes) {
            EXPECT_EQ(::posix_fallocate(fd, status.st_size, available - leaveBytes), 0);
        }
        ::close(fd);
    }

    void freeDisk() const { QFile::remove(filler()); }

    // With space again, the next start adopts or resumes the meeting and
    // saves its transcript exactly once.
    void expectFinishedOnceSpaceIsFree()
    {
        freeDisk();
        for (const CliResult& retry : ChaosWorld::resumeAll()) {
            EXPECT_EQ(retry.exitCode, 0) << retry.errors.toStdString();
        }
        EXPECT_TRUE(PendingRecording::loadAll().empty());
        EXPECT_EQ(newTranscripts(), 1);
    }

    void expectDiskFullError(const CliResult& road) const
    {
        EXPECT_EQ(road.exitCode, 1) << road.errors.toStdString();
        EXPECT_TRUE(road.errors.contains(kDiskFull)) << road.errors.toStdString();
        EXPECT_TRUE(ChaosWorld::undecodableJobFiles().isEmpty());
    }

    QString m_mountPoint;
    QByteArray m_savedDataHome;
    bool m_mounted = false;
    int m_savedBefore = 0;
};

TEST_F(FullDisk, WhileCapturing)
{
    // Filled once most of the speech is in, so the kept part has words to transcribe.
    const CliResult road = world().recordMeeting(8, false, { .action = [this] {
        QThread::msleep(3500);
        fillDisk();
    } });
    expectDiskFullError(road);
    // The capture up to the full disk waits in the captures folder.
    const QStringList captures
        = QDir(m_mountPoint + QStringLiteral("/Tallisen/Captures")).entryList(QDir::Files);
    EXPECT_FALSE(captures.isEmpty()) << road.errors.toStdString();
    freeDisk();
    ASSERT_EQ(ChaosWorld::cli({ "jobs" }).exitCode, 0);
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    // 3.5 s were played before the disk filled; at most the fragment being
    // gathered and the one the full disk cut off (0.5 s each) are missing.
    EXPECT_GE(ChaosWorld::mediaSeconds(jobs.front().audio()), 2.4);
    expectFinishedOnceSpaceIsFree();
}

TEST_F(FullDisk, WhileMixing)
{
    // A crash leaves the raw capture; the next start mixes it into a job.
    world().recordMeeting(8, false, { .action = [] { QThread::msleep(4000); }, .killAfter = true });
    const QDir captureFolder(m_mountPoint + QStringLiteral("/Tallisen/Captures"));
    const QStringList raw = captureFolder.entryList({ QStringLiteral("*.mp4") }, QDir::Files);
    ASSERT_EQ(raw.size(), 1);
    const double captured = ChaosWorld::mediaSeconds(captureFolder.filePath(raw.front()));
    fillDisk();
    const CliResult start = ChaosWorld::cli({ "jobs" });
    EXPECT_TRUE(start.errors.contains(kDiskFull)) << start.errors.toStdString();
    EXPECT_TRUE(start.errors.contains(QStringLiteral("could not be recovered")))
        << start.errors.toStdString();
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    const QStringList captures = captureFolder.entryList(QDir::Files);
    EXPECT_EQ(captures.size(), 2) << "only the capture and its details are kept: "
                                  << captures.join(' ').toStdString();

    freeDisk();
    ASSERT_EQ(ChaosWorld::cli({ "jobs" }).exitCode, 0);
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_NEAR(ChaosWorld::mediaSeconds(jobs.front().audio()), captured, 0.1);
    expectFinishedOnceSpaceIsFree();
}

// A job stopped before its chunks are cut, by a server that is briefly down.
PendingRecording jobBeforeChunking(ChaosWorld& world)
{
    world.proxy().inject(Fault::serverError, 1000, "/v1/diarizations/");
    const CliResult road = world.recordMeeting(3, true);
    world.proxy().clearFaults();
    EXPECT_EQ(road.exitCode, 1) << road.errors.toStdString();
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    if (jobs.size() != 1) {
        ADD_FAILURE() << "expected one job, found " << jobs.size();
        return {};
    }
    EXPECT_TRUE(jobs.front().chunks.empty());
    return jobs.front();
}

TEST_F(FullDisk, WhileCuttingChunks)
{
    const PendingRecording job = jobBeforeChunking(world());
    // Room for the job file's atomic rewrites, not for a chunk of audio.
    fillDisk(8 * 1024);
    const CliResult retry = ChaosWorld::cli({ "retry", job.id.toString(QUuid::WithoutBraces) });
    expectDiskFullError(retry);
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_TRUE(jobs.front().chunks.empty());
    EXPECT_EQ(QDir(job.folder()).entryList(QDir::Files), QStringList({ "job.json", "recording.m4a" }));
    expectFinishedOnceSpaceIsFree();
}

TEST_F(FullDisk, WhileSavingTheJob)
{
    const PendingRecording job = jobBeforeChunking(world());
    QFile jobFile(QDir(job.folder()).filePath(PendingRecording::kJobFileName));
    ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
    const QByteArray before = jobFile.readAll();
    jobFile.close();
    fillDisk();
    const CliResult retry = ChaosWorld::cli({ "retry", job.id.toString(QUuid::WithoutBraces) });
    expectDiskFullError(retry);
    ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(jobFile.readAll(), before) << "the job file changed on a full disk";
    EXPECT_EQ(QDir(job.folder()).entryList(QDir::Files), QStringList({ "job.json", "recording.m4a" }));
    expectFinishedOnceSpaceIsFree();
}

} // namespace
