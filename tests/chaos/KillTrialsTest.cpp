// tallisen-cli records a meeting and carries it to a saved transcript, and is
// SIGKILLed at a random moment. The next start must resume it: one saved
// transcript per meeting, the played audio kept, speaker detection given the
// audio at most once, every job file readable at every moment.
// TALLISEN_CHAOS_TRIALS (20; 200 is the long mode), TALLISEN_CHAOS_STOP_TRIALS
// (10) and TALLISEN_CHAOS_SEED (1) set the trials and the seed.

#include "ChaosWorld.h"

#include "capture/Recorder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <iostream>
#include <map>
#include <poll.h>
#include <random>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRecordSeconds = 4;

struct FileEvent
{
    QString directory;
    std::uint32_t mask = 0;
    // Matched against the end of the file's name.
    QString suffix;
    QString description;
};

// The steps that hand a meeting from one file to another take milliseconds,
// too short for a kill chosen by the clock: this kills on the file event, until
// the thread is destroyed.
std::jthread killOnFileEvent(pid_t process, const FileEvent& event)
{
    const int inotify = ::inotify_init1(IN_CLOEXEC);
    if (inotify < 0
        || ::inotify_add_watch(inotify, QFile::encodeName(event.directory).constData(), event.mask) < 0) {
        throw std::runtime_error("cannot watch " + event.directory.toStdString());
    }
    return std::jthread([=](const std::stop_token& stop) {
        alignas(inotify_event) std::array<char, 64 * 1024> buffer {};
        pollfd source { inotify, POLLIN, 0 };
        bool killed = false;
        while (!killed && !stop.stop_requested()) {
            const ssize_t length
                = ::poll(&source, 1, 20) > 0 ? ::read(inotify, buffer.data(), buffer.size()) : 0;
            for (ssize_t at = 0; at < length && !killed;) {
                const auto* change = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + change->len);
                killed = (change->mask & event.mask) && change->len > 0
                    && QFile::decodeName(change->name).endsWith(event.suffix)
                    && ::kill(process, SIGKILL) == 0;
            }
        }
        ::close(inotify);
    });
}

int environmentNumber(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// `after` seconds from the start, or the moment the road causes `on`.
struct Kill
{
    std::optional<double> after;
    std::optional<FileEvent> on;
};

// Kills each road as `nextKill` says. The next start (whose first retry is
// itself killed every other trial) must find it whole as at most one job and
// save it exactly once. Prints where the kills landed.
void runTrials(ChaosWorld& world, int trials, std::mt19937& random, const std::function<Kill()>& nextKill)
{
    std::map<QString, int> killedIn;
    int resumedMeetings = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const Kill kill = nextKill();
        const QString where = kill.on ? kill.on->description : QStringLiteral("after %1 s").arg(*kill.after);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", killed " << where.toStdString());
        world.beginTrial();
        std::jthread watcher;
        const CliResult road = world.recordMeeting(kRecordSeconds, true,
            { .after = kill.after, .killAfter = kill.after.has_value(), .started = [&](pid_t pid) {
                 if (kill.on) {
                     watcher = killOnFileEvent(pid, *kill.on);
                 }
             } });
        watcher = {};
        const bool killed = road.exitCode == -1;
        if (!killed) {
            EXPECT_EQ(road.exitCode, 0) << road.errors.toStdString();
            EXPECT_TRUE(road.capturingAt) << road.errors.toStdString();
        }
        // Seconds of meeting the recorder heard; file events all come after the recording ended.
        const double played = !road.capturingAt ? 0
            : killed && kill.after ? std::min<double>(*kill.after - *road.capturingAt, kRecordSeconds)
                                   : kRecordSeconds;
        const QString phase = road.errors.trimmed().section(u'\n', -1).section(u'…', 0, 0).trimmed();
        ++killedIn[!killed ? QStringLiteral("(finished before the kill)") : kill.on ? where : phase];

        ChaosWorld::expectJobFilesReadable();
        const CliResult listing = ChaosWorld::cli({ "jobs" });
        ASSERT_EQ(listing.exitCode, 0) << listing.errors.toStdString();
        const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
        ASSERT_LE(jobs.size(), 1u);
        if (!jobs.empty() && played >= 1.0) {
            EXPECT_NEAR(ChaosWorld::mediaSeconds(jobs.front().audio()), played, 1.0)
                << "the job's audio is not the meeting that was played";
        }
        resumedMeetings += !jobs.empty();
        for (const PendingRecording& job : trial % 2 ? jobs : std::vector<PendingRecording> {}) {
            const std::unique_ptr<QProcess> retry
                = ChaosWorld::startCli({ "retry", job.id.toString(QUuid::WithoutBraces) });
            if (!retry->waitForFinished(std::uniform_int_distribution<int>(0, 4000)(random))) {
                retry->kill();
                retry->waitForFinished();
            }
            ChaosWorld::expectJobFilesReadable();
        }
        ChaosWorld::resumeAll();

        if (played >= 1.0) {
            EXPECT_EQ(world.newTranscripts(), 1) << "killed in: " << phase.toStdString();
        } else {
            EXPECT_LE(world.newTranscripts(), 1) << "killed in: " << phase.toStdString();
        }
        int accepted = 0;
        for (const FaultProxy::Exchange& upload : world.newExchanges("PUT", "/v1/uploads/")) {
            accepted += upload.status / 100 == 2;
        }
        EXPECT_LE(accepted, 1) << "the audio went to speaker detection twice";
    }

    std::cout << trials << " trials, " << resumedMeetings << " meetings resumed from a job. Killed in:\n";
    for (const auto& [phase, count] : killedIn) {
        std::cout << "  " << count << "  " << phase.toStdString() << '\n';
    }
}

// An untouched road first: it must work, and its length bounds the kill
// moments. Then kills at random moments, then at each step of handing the
// stopped meeting from the recorder's files to a job's (where a kill once lost it).
TEST(KillTrials, EveryKilledMeetingIsResumedAndSavedOnce)
{
    ChaosWorld world;
    const int seed = environmentNumber("TALLISEN_CHAOS_SEED", 1);
    std::mt19937 random(static_cast<unsigned>(seed));
    QElapsedTimer clock;
    clock.start();
    world.beginTrial();
    const CliResult calm = world.recordMeeting(kRecordSeconds, true);
    const double roadSeconds = clock.elapsed() / 1000.0;
    ASSERT_EQ(calm.exitCode, 0) << calm.errors.toStdString();
    ASSERT_EQ(world.newTranscripts(), 1);
    ASSERT_TRUE(PendingRecording::loadAll().empty());
    std::cout << "Seed " << seed << ", road " << roadSeconds << " s.\n";
    runTrials(world, environmentNumber("TALLISEN_CHAOS_TRIALS", 20), random,
        [&] { return Kill { std::uniform_real_distribution<double>(0.2, 0.9 * roadSeconds)(random) }; });

    const QString captures = Recorder::capturesDirectory();
    const QString jobs = PendingRecording::root();
    ASSERT_TRUE(QDir().mkpath(captures) && QDir().mkpath(jobs));
    const std::vector<FileEvent> steps {
        { captures, IN_MOVED_TO, QStringLiteral(".m4a"), QStringLiteral("the mix is written") },
        { jobs, IN_CREATE, QString(), QStringLiteral("the job folder is made") },
        { captures, IN_DELETE, QStringLiteral(".m4a"), QStringLiteral("the mix is removed") },
        { captures, IN_DELETE, QStringLiteral(".mp4"), QStringLiteral("the capture is removed") },
        { captures, IN_DELETE, QStringLiteral(".json"), QStringLiteral("the capture's details are removed") },
    };
    int trial = 0;
    runTrials(world, environmentNumber("TALLISEN_CHAOS_STOP_TRIALS", 10), random, [&] {
        return Kill { std::nullopt, steps[trial++ % steps.size()] };
    });
}

} // namespace
