#include "PipelineFixture.h"

#include "api/URLError.h"

namespace {

using namespace PipelineTesting;
using Strings = std::vector<std::string>;

class TranscriptSubmissionTest : public PipelineTest
{
protected:
    PendingRecording transcribableJob(const QString& emailTo = QStringLiteral("team@example.com"))
    {
        PendingRecording job = makeJob(false);
        job.emailTo = emailTo;
        job.chunks = chunkFiles(job.folder(), 2);
        job.save();
        return job;
    }

    // Whether the job on disk was marked as submitted when each post arrived.
    std::shared_ptr<std::vector<bool>> markOnEveryPost(const PendingRecording& job,
        std::function<std::optional<PipelineServer::Answer>(int post)> answer = {})
    {
        auto marks = std::make_shared<std::vector<bool>>();
        server.setInterceptor([job, marks, answer](const PipelineServer::Request& request) {
            if (request.kind() != "save") {
                return std::optional<PipelineServer::Answer>();
            }
            marks->push_back(savedJob(job).submissionStarted.value_or(false));
            return answer ? answer(static_cast<int>(marks->size())) : std::nullopt;
        });
        return marks;
    }
};

TEST_F(TranscriptSubmissionTest, PostsTheTranscriptOnceUnderTheJobsKey)
{
    const PendingRecording job = transcribableJob();
    const auto marks = markOnEveryPost(job);

    const Recording recording = TestTasks::run(client->finish(job, recordProgress()));

    const auto posts = server.requests("save");
    ASSERT_EQ(posts.size(), 1U);
    EXPECT_EQ(posts[0].header("Idempotency-Key"), Uuids::text(job.id).toStdString());
    EXPECT_EQ(posts[0].header("Content-Type"), "application/json");
    EXPECT_EQ(posts[0].header("Authorization"), "Bearer test-token");
    const nlohmann::json body = nlohmann::json::parse(posts[0].body);
    EXPECT_EQ(body,
        (nlohmann::json { { "transcript", "Part 1: hello, world.\n\nPart 2: hello, world." },
            { "recordedAt", "2026-03-01T09:30:00Z" }, { "emailTo", "team@example.com" },
            { "source", "linux" } }));
    EXPECT_EQ(recording.transcript, QStringLiteral("Part 1: hello, world.\n\nPart 2: hello, world."));
    EXPECT_EQ(recording.cleanupStatus, QStringLiteral("pending"));
    EXPECT_EQ(progress.last(), QStringLiteral("Saving the complete meeting transcript…"));
    EXPECT_EQ(*marks, std::vector<bool> { true });
    // The job stays on disk for the model to remove.
    EXPECT_EQ(savedJob(job).submissionStarted, true);
}

TEST_F(TranscriptSubmissionTest, EmptyAddressIsSentAsAnEmptyString)
{
    const PendingRecording job = transcribableJob(QString());
    TestTasks::run(client->finish(job, {}));
    const nlohmann::json body = nlohmann::json::parse(server.requests("save").at(0).body);
    ASSERT_TRUE(body.contains("emailTo"));
    EXPECT_EQ(body["emailTo"], "");
}

TEST_F(TranscriptSubmissionTest, RetryAfterUnavailableSendsTheSameKeyAndBodyAfterTheMarkWasSaved)
{
    const PendingRecording job = transcribableJob();
    const auto marks = markOnEveryPost(job, [](int post) -> std::optional<PipelineServer::Answer> {
        if (post == 1) {
            return PipelineServer::Answer { 503, "<html>busy</html>" };
        }
        return std::nullopt;
    });

    TestTasks::run(client->finish(job, {}));

    const auto posts = server.requests("save");
    ASSERT_EQ(posts.size(), 2U);
    EXPECT_EQ(posts[0].header("Idempotency-Key"), posts[1].header("Idempotency-Key"));
    EXPECT_EQ(posts[0].body, posts[1].body);
    EXPECT_EQ(*marks, (std::vector<bool> { true, true }));
    EXPECT_EQ(client->waits, std::vector<std::chrono::milliseconds> { std::chrono::milliseconds(1000) });
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
}

TEST_F(TranscriptSubmissionTest, RejectedPostIsSentOnceAndALaterCallPostsAgainUnderTheSameKeyOnly)
{
    const PendingRecording job = transcribableJob();
    const auto marks = markOnEveryPost(job, [](int post) -> std::optional<PipelineServer::Answer> {
        if (post == 1) {
            return PipelineServer::Answer { 400, R"({"error":"Transcript rejected"})" };
        }
        return std::nullopt;
    });
    try {
        TestTasks::run(client->finish(job, {}));
        ADD_FAILURE() << "no error";
    } catch (const APIClientError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("Transcript rejected"));
        EXPECT_EQ(error.statusCode(), 400);
    }
    EXPECT_EQ(server.requests("save").size(), 1U);
    const PendingRecording stopped = savedJob(job);
    EXPECT_EQ(stopped.submissionStarted, true);
    EXPECT_FALSE(stopped.canRetryWithoutSpeakers());
    server.clearLog();

    TestTasks::run(client->finish(stopped, {}));

    const auto requests = server.requests();
    EXPECT_EQ(kindsOf(requests), (Strings { "me", "save" }));
    EXPECT_EQ(requests[1].header("Idempotency-Key"), Uuids::text(job.id).toStdString());
}

TEST_F(TranscriptSubmissionTest, SignedOutPostsNothingAndLeavesTheJobUnmarked)
{
    const PendingRecording job = transcribableJob();
    client->setToken(std::nullopt);
    try {
        TestTasks::run(client->finish(job, {}));
        ADD_FAILURE() << "no error";
    } catch (const URLError& error) {
        EXPECT_EQ(error.code(), URLError::Code::userAuthenticationRequired);
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_FALSE(savedJob(job).submissionStarted.has_value());
}

TEST_F(TranscriptSubmissionTest, PipelineFailurePostsNothing)
{
    const PendingRecording job = transcribableJob();
    server.configure(
        [](auto& settings) { settings.transcribe = [](const auto&) { return std::string(" "); }; });
    EXPECT_EQ(failureMessage(client->finish(job, {})),
        QStringLiteral("No speech was transcribed. The audio has been kept."));
    EXPECT_TRUE(server.requests("save").empty());
    EXPECT_FALSE(savedJob(job).submissionStarted.has_value());
}

} // namespace
