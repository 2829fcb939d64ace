// A struggling server, a bad network and a restarted sound server, met by the
// real program on a real meeting. Each ends in a saved transcript or in a
// clear error with the meeting kept as a job a retry finishes, and never in a
// transcript saved twice.

#include "ChaosWorld.h"
#include "SoundServer.h"

#include <QThread>

#include <gtest/gtest.h>

namespace {

using Fault = FaultProxy::Fault;

constexpr int kMeetingSeconds = 3;

struct Injection
{
    Fault fault;
    int count;
    std::string path;
};

struct FaultCase
{
    const char* name;
    std::vector<Injection> faults;
    bool speakers = false;
    // The error the meeting is kept with; empty: it is saved at once.
    QString keptWith;
    // POSTs under this path the road makes (none counted when empty).
    std::string countedPath;
    size_t posts = 0;
    bool refuseTlsMidMeeting = false;
};

void PrintTo(const FaultCase& test, std::ostream* out)
{
    *out << test.name;
}

const QString kUnreadable
    = QStringLiteral("The data could not be read because it is not in the correct format");

const FaultCase kCases[] = {
    { "ShortBurstsOfServerErrorsAreRiddenOut",
        { { Fault::serverError, 3, "/v1/transcriptions" }, { Fault::serverError, 2, "/v1/recordings/text" } },
        false, {}, "/v1/recordings/text", 3 },
    { "ServerErrorsOutlastingTheRetriesKeepTheMeeting",
        { { Fault::serverError, 1000, "/v1/transcriptions" } }, false,
        QStringLiteral("The server is busy; try again later."), "/v1/transcriptions", 4 },
    // The server saves the transcript each time; only its answer is lost.
    { "AnswersCutOffHalfWayAreRetriedAndTheTranscriptIsSavedOnce",
        { { Fault::dropMidBody, 2, "/v1/recordings/text" }, { Fault::dropMidBody, 1, "/v1/transcriptions" } },
        false, {}, "/v1/recordings/text", 3 },
    { "SlowAnswersAreWaitedFor",
        { { Fault::slow, 3, "/v1/transcriptions" }, { Fault::slow, 1, "/v1/recordings/text" },
            { Fault::slow, 2, "/v1/diarizations/" } },
        true },
    { "GarbageInsteadOfAnAnswerIsAClearErrorAndTheMeetingIsKept",
        { { Fault::garbage, 1, "/v1/transcriptions" } }, false, kUnreadable },
    { "GarbageFromSpeakerDetectionIsAClearErrorAndTheMeetingIsKept",
        { { Fault::garbage, 1, "/v1/diarizations/" } }, true, kUnreadable },
    { "ServerThatStopsSpeakingTlsMidMeetingIsAClearErrorAndTheMeetingIsKept", {}, false,
        QStringLiteral("SSL"), {}, 0, true },
};

class ServerFaults : public SharedChaosWorld, public ::testing::WithParamInterface<FaultCase>
{
};

TEST_P(ServerFaults, EndSavedOnceOrKeptForARetry)
{
    const FaultCase& test = GetParam();
    for (const Injection& injection : test.faults) {
        world().proxy().inject(injection.fault, injection.count, injection.path);
    }
    RoadTrigger trigger;
    if (test.refuseTlsMidMeeting) {
        trigger.action = [] { world().proxy().refuseTls(true); };
    }
    const CliResult road = world().recordMeeting(kMeetingSeconds, test.speakers, trigger);
    if (test.refuseTlsMidMeeting) {
        world().proxy().refuseTls(false);
    }
    if (!test.countedPath.empty()) {
        EXPECT_EQ(world().newExchanges("POST", test.countedPath).size(), test.posts);
    }
    if (test.keptWith.isEmpty()) {
        EXPECT_EQ(road.exitCode, 0) << road.errors.toStdString();
        EXPECT_TRUE(PendingRecording::loadAll().empty());
        EXPECT_EQ(world().newTranscripts(), 1);
        return;
    }
    EXPECT_EQ(road.exitCode, 1) << road.errors.toStdString();
    EXPECT_TRUE(road.errors.contains(test.keptWith)) << road.errors.toStdString();
    EXPECT_TRUE(road.errors.contains(QStringLiteral("tallisen-cli retry "))) << road.errors.toStdString();
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    // All of the meeting; the capture may run on while the timer starts.
    const double recorded = ChaosWorld::mediaSeconds(jobs.front().audio());
    EXPECT_GE(recorded, kMeetingSeconds - 1.0);
    EXPECT_LE(recorded, kMeetingSeconds + 2.0);
    EXPECT_EQ(world().newTranscripts(), 0);

    world().proxy().clearFaults();
    ChaosWorld::resumeAll();
    EXPECT_EQ(world().newTranscripts(), 1);
}

INSTANTIATE_TEST_SUITE_P(, ServerFaults, ::testing::ValuesIn(kCases),
    [](const auto& info) { return std::string(info.param.name); });

using SoundServerRestart = SharedChaosWorld;

// The recording ends at the restart with a warning; what came before is saved once.
TEST_F(SoundServerRestart, MeetingUpToTheRestartIsSavedWithAWarning)
{
    SoundServer::Private sound;
    const QByteArray shared = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", sound.address().toUtf8());
    const CliResult road = world().recordMeeting(10, false, { .action = [&sound] {
        QThread::msleep(3500);
        sound.restart();
    } });
    qputenv("PULSE_SERVER", shared);

    EXPECT_EQ(road.exitCode, 0) << road.errors.toStdString();
    EXPECT_TRUE(road.errors.contains(QStringLiteral("Capture was interrupted"))) << road.errors.toStdString();
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    EXPECT_EQ(world().newTranscripts(), 1);
}

} // namespace
