#include "PipelineFixture.h"

#include "api/URLError.h"

namespace {

using namespace PipelineTesting;

class TranscriptSubmissionTest : public PipelineTest
{
protected:
    // Whether the job on disk was marked as submitted when each post arrived;
    // the first post gets `firstAnswer` if there is one.
    std::shared_ptr<std::vector<bool>> markOnEveryPost(
        const PendingRecording& job, std::optional<PipelineServer::Answer> firstAnswer = {})
    {
        auto marks = std::make_shared<std::vector<bool>>();
        server.setInterceptor([job, marks, firstAnswer](const PipelineServer::Request& request) {
            if (request.kind() != "save") {
                return std::optional<PipelineServer::Answer>();
            }
            marks->push_back(savedJob(job).submissionStarted.value_or(false));
            return marks->size() == 1 ? firstAnswer : std::nullopt;
        });
        return marks;
    }
};

// A post the server could not take is sent again after the usual wait, with
// the same key and body, and the server keeps one transcript. The empty
// address SubmissionBody keeps as a string is checked there.
TEST_F(TranscriptSubmissionTest, PostsTheTranscriptUnderTheJobsKeyAgainAfterUnavailableOnceTheMarkWasSaved)
{
    const PendingRecording job = splitJob(false, 2);
    const auto marks = markOnEveryPost(job, PipelineServer::Answer { 503, "<html>busy</html>" });

    const Recording recording = TestTasks::run(client->finish(job, recordProgress()));

    const auto posts = server.requests("save");
    ASSERT_EQ(posts.size(), 2U);
    for (const auto& post : posts) {
        EXPECT_EQ(post.header("Idempotency-Key"), Uuids::text(job.id).toStdString());
        EXPECT_EQ(post.header("Content-Type"), "application/json");
        EXPECT_EQ(post.header("Authorization"), "Bearer test-token");
        EXPECT_EQ(nlohmann::json::parse(post.body),
            (nlohmann::json { { "transcript", "Part 1: hello, world.\n\nPart 2: hello, world." },
                { "recordedAt", "2026-03-01T09:30:00Z" }, { "emailTo", "team@example.com" },
                { "source", "linux" } }));
    }
    EXPECT_EQ(posts[0].body, posts[1].body);
    EXPECT_EQ(*marks, (std::vector<bool> { true, true }));
    EXPECT_EQ(client->waits, std::vector<std::chrono::milliseconds> { std::chrono::milliseconds(1000) });
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
    EXPECT_EQ(recording.transcript, QStringLiteral("Part 1: hello, world.\n\nPart 2: hello, world."));
    EXPECT_EQ(recording.cleanupStatus, QStringLiteral("pending"));
    EXPECT_EQ(progress.last(), QStringLiteral("Saving the complete meeting transcript…"));
    // The job stays on disk for the model to remove.
    EXPECT_EQ(savedJob(job).submissionStarted, true);
}

TEST_F(TranscriptSubmissionTest, RejectedPostIsSentOnceAndALaterCallPostsAgainUnderTheSameKeyOnly)
{
    const PendingRecording job = splitJob(false, 2);
    markOnEveryPost(job, PipelineServer::Answer { 400, R"({"error":"Transcript rejected"})" });
    const auto error = thrown<APIClientError>(client->finish(job, {}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Transcript rejected"));
    EXPECT_EQ(error->statusCode(), 400);
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

TEST_F(TranscriptSubmissionTest, SignedOutOrAllBlankPostsNothingAndLeavesTheJobUnmarkedWithItsTexts)
{
    const PendingRecording blank = splitJob(false, 2);
    server.configure([&](auto& settings) {
        settings.transcribe = transcriptsByChunk(blank, { "", "  \n" });
    });
    EXPECT_EQ(failureMessage(client->finish(blank, {})),
        QStringLiteral("No speech was transcribed. The audio has been kept."));
    EXPECT_TRUE(server.requests("save").empty());
    const PendingRecording kept = savedJob(blank);
    EXPECT_FALSE(kept.submissionStarted.has_value());
    EXPECT_EQ(kept.chunks[0].text, QString());
    EXPECT_EQ(kept.chunks[1].text, QStringLiteral("  \n"));

    server.clearLog();
    const PendingRecording job = splitJob(false, 2);
    client->setToken(std::nullopt);
    EXPECT_EQ(
        thrown<URLError>(client->finish(job, {})).value().code(), URLError::Code::userAuthenticationRequired);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_FALSE(savedJob(job).submissionStarted.has_value());
}

} // namespace
