// A struggling server and a bad network, met by the real program on a real
// meeting: bursts of 5xx answers, answers cut off half way, answers trickled
// out slowly, 10 MB of garbage, and a port that no longer speaks TLS. Each ends
// either in a saved transcript or in a clear error with the meeting kept as a
// job that a retry finishes, and never in a transcript saved twice.

#include "ChaosWorld.h"

#include <gtest/gtest.h>

namespace {

using Fault = FaultProxy::Fault;

constexpr int kMeetingSeconds = 3;

class ServerFaults : public SharedChaosWorld
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(PendingRecording::loadAll().empty());
        m_savedBefore = world().savedTranscripts();
        m_exchangesBefore = world().proxy().exchanges().size();
    }

    void TearDown() override
    {
        world().proxy().clearFaults();
        for (const PendingRecording& job : PendingRecording::loadAll()) {
            job.remove();
        }
    }

    int newTranscripts() const { return world().savedTranscripts() - m_savedBefore; }

    // Requests since the test began whose path starts with prefix.
    std::vector<FaultProxy::Exchange> exchanges(const std::string& method, const std::string& prefix) const
    {
        std::vector<FaultProxy::Exchange> matching;
        const std::vector<FaultProxy::Exchange> all = world().proxy().exchanges();
        for (size_t i = m_exchangesBefore; i < all.size(); ++i) {
            if (all[i].method == method && all[i].path.rfind(prefix, 0) == 0) {
                matching.push_back(all[i]);
            }
        }
        return matching;
    }

    // The meeting failed with `message` and waits, whole, as one job that a
    // retry on a healthy server finishes exactly once.
    void expectKeptThenFinishedByRetry(const CliResult& road, const QString& message)
    {
        EXPECT_EQ(road.exitCode, 1) << road.errors.toStdString();
        EXPECT_TRUE(road.errors.contains(message)) << road.errors.toStdString();
        EXPECT_TRUE(road.errors.contains(QStringLiteral("tallisen-cli retry "))) << road.errors.toStdString();
        const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
        ASSERT_EQ(jobs.size(), 1u);
        // Nothing of the meeting is missing; the capture may run on a little
        // while the program starts its timer.
        const double recorded = ChaosWorld::mediaSeconds(jobs.front().audio());
        EXPECT_GE(recorded, kMeetingSeconds - 1.0);
        EXPECT_LE(recorded, kMeetingSeconds + 2.0);
        EXPECT_EQ(newTranscripts(), 0);

        world().proxy().clearFaults();
        for (const CliResult& retry : ChaosWorld::resumeAll()) {
            EXPECT_EQ(retry.exitCode, 0) << retry.errors.toStdString();
        }
        EXPECT_TRUE(PendingRecording::loadAll().empty());
        EXPECT_EQ(newTranscripts(), 1);
    }

    void expectSavedOnce(const CliResult& road)
    {
        EXPECT_EQ(road.exitCode, 0) << road.errors.toStdString();
        EXPECT_TRUE(PendingRecording::loadAll().empty());
        EXPECT_EQ(newTranscripts(), 1);
    }

    int m_savedBefore = 0;
    size_t m_exchangesBefore = 0;
};

TEST_F(ServerFaults, ShortBurstsOfServerErrorsAreRiddenOut)
{
    world().proxy().inject(Fault::serverError, 3, "/v1/transcriptions");
    world().proxy().inject(Fault::serverError, 2, "/v1/recordings/text");
    expectSavedOnce(world().recordMeeting(kMeetingSeconds, false));
    EXPECT_EQ(exchanges("POST", "/v1/transcriptions").front().status, 503);
    EXPECT_EQ(exchanges("POST", "/v1/recordings/text").back().status, 200);
}

TEST_F(ServerFaults, ServerErrorsOutlastingTheRetriesKeepTheMeeting)
{
    world().proxy().inject(Fault::serverError, 1000, "/v1/transcriptions");
    const CliResult road = world().recordMeeting(kMeetingSeconds, false);
    EXPECT_EQ(exchanges("POST", "/v1/transcriptions").size(), 4u) << "four attempts, then the error";
    expectKeptThenFinishedByRetry(road, QStringLiteral("The server is busy; try again later."));
}

TEST_F(ServerFaults, AnswersCutOffHalfWayAreRetriedAndTheTranscriptIsSavedOnce)
{
    // The server saves the transcript each time; only its answer is lost.
    world().proxy().inject(Fault::dropMidBody, 2, "/v1/recordings/text");
    world().proxy().inject(Fault::dropMidBody, 1, "/v1/transcriptions");
    expectSavedOnce(world().recordMeeting(kMeetingSeconds, false));
    EXPECT_EQ(exchanges("POST", "/v1/recordings/text").size(), 3u);
}

TEST_F(ServerFaults, SlowAnswersAreWaitedFor)
{
    world().proxy().inject(Fault::slow, 3, "/v1/transcriptions");
    world().proxy().inject(Fault::slow, 1, "/v1/recordings/text");
    world().proxy().inject(Fault::slow, 2, "/v1/diarizations/");
    expectSavedOnce(world().recordMeeting(kMeetingSeconds, true));
}

TEST_F(ServerFaults, GarbageInsteadOfAnAnswerIsAClearErrorAndTheMeetingIsKept)
{
    world().proxy().inject(Fault::garbage, 1, "/v1/transcriptions");
    expectKeptThenFinishedByRetry(world().recordMeeting(kMeetingSeconds, false),
        QStringLiteral("The data could not be read because it is not in the correct format"));
}

TEST_F(ServerFaults, GarbageFromSpeakerDetectionIsAClearErrorAndTheMeetingIsKept)
{
    world().proxy().inject(Fault::garbage, 1, "/v1/diarizations/");
    expectKeptThenFinishedByRetry(world().recordMeeting(kMeetingSeconds, true),
        QStringLiteral("The data could not be read because it is not in the correct format"));
}

TEST_F(ServerFaults, ServerThatStopsSpeakingTlsMidMeetingIsAClearErrorAndTheMeetingIsKept)
{
    const CliResult road = world().recordMeeting(
        kMeetingSeconds, false, { .action = [] { world().proxy().refuseTls(true); } });
    world().proxy().refuseTls(false);
    expectKeptThenFinishedByRetry(road, QStringLiteral("SSL"));
}

} // namespace
