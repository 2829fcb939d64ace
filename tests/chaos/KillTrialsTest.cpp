// Whole-road kill trials: tallisen-cli records a meeting and carries it all
// the way to a saved transcript, and is SIGKILLed at a random moment. The next
// start must resume it: one saved transcript per meeting, the audio that was
// played kept, speaker detection given the audio at most once, and every job
// file readable at every moment.
//
// TALLISEN_CHAOS_TRIALS sets the number of trials (20 here; 200 is the long
// mode), TALLISEN_CHAOS_STOP_TRIALS those of the kills aimed at the steps
// that keep a stopped recording (10) and TALLISEN_CHAOS_SEED the random seed
// (1).

#include "ChaosWorld.h"
#include "FileEventKill.h"

#include "capture/Recorder.h"

#include <QDir>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <functional>

#include <iostream>
#include <map>
#include <random>
#include <sys/inotify.h>

namespace {

constexpr int kRecordSeconds = 4;

int environmentNumber(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

struct Road
{
    bool killed = false;
    // Seconds of meeting the recorder heard before the end or the kill.
    double played = 0;
    // The last thing the program said before it ended.
    QString phase;
};

QString lastLine(const QString& output)
{
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QStringLiteral("(nothing yet)") : lines.back().section(u'…', 0, 0).trimmed();
}

// When to kill a road: `after` seconds from its start, or the moment it
// causes `on`.
struct Kill
{
    double after = 0;
    std::optional<FileEvent> on;

    QString describe() const { return on ? on->description : QStringLiteral("after %1 s").arg(after); }
};

// Runs one road, killing it as `kill` says when it is still running.
Road runRoad(ChaosWorld& world, std::optional<Kill> kill)
{
    std::unique_ptr<QProcess> player;
    const std::unique_ptr<QProcess> road
        = ChaosWorld::startCli({ "record", "--seconds", QString::number(kRecordSeconds), "--speakers" });
    QElapsedTimer clock;
    clock.start();
    QString seen;
    std::optional<double> recordingSince;
    std::optional<FileEventKill> watcher;
    if (kill && kill->on) {
        watcher.emplace(static_cast<pid_t>(road->processId()), *kill->on);
    }
    Road result;
    while (road->state() == QProcess::Running) {
        if (kill && !kill->on && clock.elapsed() >= kill->after * 1000) {
            road->kill();
            result.killed = true;
            break;
        }
        road->waitForReadyRead(20);
        seen += QString::fromUtf8(road->readAll());
        if (!recordingSince && seen.contains(QStringLiteral("Press Enter"))) {
            recordingSince = clock.elapsed() / 1000.0;
            player = world.playSpeech();
        }
        if (clock.elapsed() > 600'000) {
            ADD_FAILURE() << "the road did not end: " << seen.toStdString();
            road->kill();
            break;
        }
    }
    road->waitForFinished();
    seen += QString::fromUtf8(road->readAll());
    result.killed = result.killed || (watcher && watcher->fired());
    if (player) {
        player->kill();
        player->waitForFinished();
    }
    if (!result.killed) {
        EXPECT_EQ(road->exitCode(), 0) << seen.toStdString();
    }
    if (recordingSince) {
        // File events all come after the recording has ended.
        result.played = result.killed && !kill->on
            ? std::min<double>(kill->after - *recordingSince, kRecordSeconds)
            : kRecordSeconds;
    }
    result.phase = lastLine(seen);
    return result;
}

// What the next start finds: the road's meeting, whole, as at most one job.
void checkKeptAudio(const Road& road)
{
    const CliResult listing = ChaosWorld::cli({ "jobs" });
    ASSERT_EQ(listing.exitCode, 0) << listing.errors.toStdString();
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_LE(jobs.size(), 1u);
    if (jobs.empty() || road.played < 1.0) {
        return;
    }
    const double recorded = ChaosWorld::mediaSeconds(jobs.front().audio());
    EXPECT_NEAR(recorded, road.played, 1.0) << "the job's audio is not the meeting that was played";
}

// Resumes every job; every other trial the first resume is killed too.
void resume(std::mt19937& random, bool killFirstResume)
{
    for (const PendingRecording& job : PendingRecording::loadAll()) {
        const QString id = job.id.toString(QUuid::WithoutBraces);
        if (killFirstResume) {
            const std::unique_ptr<QProcess> retry = ChaosWorld::startCli({ "retry", id });
            const int delay = std::uniform_int_distribution<int>(0, 4000)(random);
            if (!retry->waitForFinished(delay)) {
                retry->kill();
                retry->waitForFinished();
            }
            EXPECT_TRUE(ChaosWorld::undecodableJobFiles().isEmpty())
                << ChaosWorld::undecodableJobFiles().join(u'\n').toStdString();
        }
    }
    for (const CliResult& retry : ChaosWorld::resumeAll()) {
        EXPECT_EQ(retry.exitCode, 0) << retry.errors.toStdString();
    }
}

int acceptedUploadsSince(const FaultProxy& proxy, size_t firstExchange)
{
    const std::vector<FaultProxy::Exchange> exchanges = proxy.exchanges();
    int accepted = 0;
    for (size_t i = firstExchange; i < exchanges.size(); ++i) {
        const FaultProxy::Exchange& exchange = exchanges[i];
        accepted += exchange.method == "PUT" && exchange.path.rfind("/v1/uploads/", 0) == 0
            && exchange.status / 100 == 2;
    }
    return accepted;
}

// Runs `trials` killed roads, each resumed by the next start, and checks
// that every meeting is saved exactly once. Prints where the kills landed.
void runTrials(ChaosWorld& world, int trials, std::mt19937& random, const std::function<Kill()>& nextKill)
{
    std::map<QString, int> killedIn;
    int resumedMeetings = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const Kill kill = nextKill();
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", killed " << kill.describe().toStdString());
        const int savedBefore = world.savedTranscripts();
        const size_t exchangesBefore = world.proxy().exchanges().size();

        const Road road = runRoad(world, kill);
        ++killedIn[road.killed ? kill.on ? kill.on->description : road.phase
                               : QStringLiteral("(finished before the kill)")];
        EXPECT_TRUE(ChaosWorld::undecodableJobFiles().isEmpty())
            << ChaosWorld::undecodableJobFiles().join(u'\n').toStdString();
        checkKeptAudio(road);
        resumedMeetings += !PendingRecording::loadAll().empty();
        resume(random, trial % 2 == 1);

        EXPECT_TRUE(PendingRecording::loadAll().empty()) << "a meeting was left unfinished";
        const int saved = world.savedTranscripts() - savedBefore;
        if (road.played >= 1.0) {
            EXPECT_EQ(saved, 1) << "killed in: " << road.phase.toStdString();
        } else {
            EXPECT_LE(saved, 1) << "killed in: " << road.phase.toStdString();
        }
        EXPECT_LE(acceptedUploadsSince(world.proxy(), exchangesBefore), 1)
            << "the audio went to speaker detection twice";
    }

    std::cout << trials << " trials, " << resumedMeetings << " meetings resumed from a job. Killed in:\n";
    for (const auto& [phase, count] : killedIn) {
        std::cout << "  " << count << "  " << phase.toStdString() << '\n';
    }
}

TEST(KillTrials, EveryKilledMeetingIsResumedAndSavedOnce)
{
    ChaosWorld world;
    const int trials = environmentNumber("TALLISEN_CHAOS_TRIALS", 20);
    const int seed = environmentNumber("TALLISEN_CHAOS_SEED", 1);
    std::mt19937 random(static_cast<unsigned>(seed));

    // An untouched road first: it must work, and its length bounds the kill moments.
    QElapsedTimer clock;
    clock.start();
    const Road calm = runRoad(world, std::nullopt);
    const double roadSeconds = clock.elapsed() / 1000.0;
    ASSERT_EQ(world.savedTranscripts(), 1) << calm.phase.toStdString();
    ASSERT_TRUE(PendingRecording::loadAll().empty());

    std::cout << "Seed " << seed << ", road " << roadSeconds << " s.\n";
    runTrials(world, trials, random,
        [&] { return Kill { std::uniform_real_distribution<double>(0.2, 0.9 * roadSeconds)(random) }; });
}

// Stopping hands the meeting from the recorder's files to a job's: the steps
// where a kill once lost it. They take milliseconds, so a kill chosen by the
// clock rarely lands there; these kills follow each file step instead.
TEST(KillTrials, KillsAtEachStepOfKeepingTheRecordingLoseNothingAndSaveOnce)
{
    ChaosWorld world;
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
    const int trials = environmentNumber("TALLISEN_CHAOS_STOP_TRIALS", 10);
    std::mt19937 random(static_cast<unsigned>(environmentNumber("TALLISEN_CHAOS_SEED", 1)));
    int trial = 0;
    runTrials(world, trials, random, [&] { return Kill { 0, steps[trial++ % steps.size()] }; });
}

} // namespace
