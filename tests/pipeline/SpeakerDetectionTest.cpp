#include "PipelineFixture.h"

#include "api/URLError.h"
#include "core/FileSystemError.h"

#include <unistd.h>

namespace {

using namespace PipelineTesting;
using std::chrono::milliseconds;

const nlohmann::json kSegments = nlohmann::json::array({
    { { "start", 0.0 }, { "end", 12.5 }, { "speaker", "SPEAKER_01" } },
    { { "start", 12.5 }, { "end", 30.25 }, { "speaker", "SPEAKER_00" } },
});

class SpeakerDetectionTest : public PipelineTest
{
protected:
    SpeakerDetectionTest()
    {
        server.configure([](auto& settings) { settings.segments = kSegments; });
    }

    QString detectionFailure(const PendingRecording& job)
    {
        return failureMessage(client->detectSpeakers(job, recordProgress()));
    }
};

TEST_F(SpeakerDetectionTest, FirstCallUploadsStartsAndPollsWithoutAPauseBeforeTheFirstStatus)
{
    server.configure([](auto& settings) { settings.pendingPolls = 2; });
    const PendingRecording job = makeJob(true, 123457);

    const auto segments = TestTasks::run(client->detectSpeakers(job, recordProgress()));

    ASSERT_EQ(segments.size(), 2U);
    EXPECT_EQ(segments[0], (SpeakerSegment { 0.0, 12.5, QStringLiteral("SPEAKER_01") }));
    EXPECT_EQ(segments[1], (SpeakerSegment { 12.5, 30.25, QStringLiteral("SPEAKER_00") }));
    const auto requests = server.requests();
    EXPECT_EQ(kindsOf(requests),
        (std::vector<std::string> { "prepare", "upload", "start", "status", "status", "status" }));
    const std::string id = Uuids::text(job.id).toStdString();
    EXPECT_EQ(requests[0].path, "/v1/diarizations/" + id + "/prepare");
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[2].path, "/v1/diarizations/" + id + "/start");
    EXPECT_EQ(requests[2].method, "POST");
    EXPECT_EQ(requests[3].path, "/v1/diarizations/" + id);
    EXPECT_EQ(requests[3].method, "GET");
    // Two pending answers, two pauses of 2 s: none before the first status.
    EXPECT_EQ(client->waits, (std::vector<milliseconds> { milliseconds(2000), milliseconds(2000) }));
    EXPECT_EQ(progress,
        (QStringList { "Preparing speaker detection on " + server.baseURL().authority() + "…",
            "Uploading recording to " + server.baseURL().authority() + " for speaker detection…",
            QStringLiteral("Detecting speakers across the whole meeting…") }));
}

TEST_F(SpeakerDetectionTest, UploadIsTheWholeFileWithNoHeaderOfOurs)
{
    const PendingRecording job = makeJob(true, 300001);
    TestTasks::run(client->detectSpeakers(job, {}));

    const auto uploads = server.requests("upload");
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_EQ(uploads[0].method, "PUT");
    EXPECT_EQ(uploads[0].bodyBytes, 300001);
    for (const char* header : { "Authorization", "Content-Type", "Idempotency-Key", "X-Tallisen-Prompt" }) {
        EXPECT_FALSE(uploads[0].header(header).has_value()) << header;
    }
    // The server requests do carry the token.
    EXPECT_EQ(server.requests("prepare").at(0).header("Authorization"), "Bearer test-token");
}

TEST_F(SpeakerDetectionTest, LaterCallAfterTheStartNeitherUploadsNorStartsAgain)
{
    server.configure([](auto& settings) { settings.pendingPolls = 1000; });
    const PendingRecording job = makeJob(true);
    EXPECT_EQ(detectionFailure(job),
        QStringLiteral("Speaker detection is still processing. Retry later to resume the same job."));
    server.clearLog();
    server.configure([](auto& settings) { settings.pendingPolls = 0; });

    const auto segments = TestTasks::run(client->detectSpeakers(job, recordProgress()));

    EXPECT_EQ(segments.size(), 2U);
    EXPECT_EQ(kindsOf(server.requests()), (std::vector<std::string> { "prepare", "status" }));
}

TEST_F(SpeakerDetectionTest, NineHundredPendingAnswersEndTheCallAfterTheLastPause)
{
    server.configure([](auto& settings) { settings.pendingPolls = 100000; });
    const PendingRecording job = makeJob(true);

    EXPECT_EQ(detectionFailure(job),
        QStringLiteral("Speaker detection is still processing. Retry later to resume the same job."));

    EXPECT_EQ(server.requests("status").size(), 900U);
    EXPECT_EQ(client->waits, std::vector<milliseconds>(900, milliseconds(2000)));
}

TEST_F(SpeakerDetectionTest, InsecureOrMissingUploadAddressFailsBeforeAnythingIsUploaded)
{
    const PendingRecording job = makeJob(true);
    for (const std::string& url :
        { std::string("http://127.0.0.1:1/storage/x"), std::string(), std::string("ftp://127.0.0.1/x") }) {
        server.configure([&](auto& settings) { settings.uploadURL = url; });
        EXPECT_EQ(detectionFailure(job),
            QStringLiteral("The server did not provide a secure speaker-detection upload URL."))
            << url;
    }
    EXPECT_TRUE(server.requests("upload").empty());
    EXPECT_TRUE(server.requests("start").empty());
    EXPECT_TRUE(server.requests("status").empty());
}

TEST_F(SpeakerDetectionTest, RecordingOfExactlyOneGigabyteIsUploadedAndOneByteMoreIsRefused)
{
    const PendingRecording job = makeJob(true);
    const QString tooLarge
        = QStringLiteral("Speaker detection supports recordings up to 1 GB. Use Transcribe "
                         "without speakers for this recording.");
    // Sparse files: the size is real, the disk blocks are not.
    ASSERT_EQ(::truncate(QFile::encodeName(job.audio()).constData(), 1'000'000'001), 0);
    EXPECT_EQ(detectionFailure(job), tooLarge);
    EXPECT_TRUE(server.requests("upload").empty());

    ASSERT_EQ(::truncate(QFile::encodeName(job.audio()).constData(), 0), 0);
    EXPECT_EQ(detectionFailure(job), tooLarge);
    EXPECT_TRUE(server.requests("upload").empty());

    ASSERT_EQ(::truncate(QFile::encodeName(job.audio()).constData(), 1'000'000'000), 0);
    EXPECT_EQ(TestTasks::run(client->detectSpeakers(job, {})).size(), 2U);
    const auto uploads = server.requests("upload");
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_EQ(uploads[0].bodyBytes, 1'000'000'000);
}

TEST_F(SpeakerDetectionTest, MissingRecordingIsTheFileSystemsError)
{
    const PendingRecording job = makeJob(true);
    ASSERT_TRUE(QFile::remove(job.audio()));
    EXPECT_THROW(TestTasks::run(client->detectSpeakers(job, {})), FileSystemError);
    EXPECT_TRUE(server.requests("upload").empty());
}

TEST_F(SpeakerDetectionTest, RejectedUploadStopsBeforeTheStartAndIsNotRetried)
{
    server.configure([](auto& settings) { settings.uploadStatus = 403; });
    const PendingRecording job = makeJob(true);

    EXPECT_EQ(detectionFailure(job), QStringLiteral("Speaker audio upload failed. Retry to resume."));

    EXPECT_EQ(kindsOf(server.requests()), (std::vector<std::string> { "prepare", "upload" }));
    EXPECT_FALSE(server.detectionStarted(Uuids::text(job.id).toStdString()));
}

TEST_F(SpeakerDetectionTest, StatusIsComparedExactly)
{
    const PendingRecording job = makeJob(true);
    const QString failed = QStringLiteral(
        "Speaker detection failed or its submission could not be confirmed. Audio is saved. Use Transcribe "
        "without speakers to continue; no duplicate speaker job will be submitted.");
    const std::vector<std::pair<std::string, QString>> cases {
        { "Succeeded", QStringLiteral("Speaker detection was not started. Retry to resume.") },
        { "done", QStringLiteral("Speaker detection was not started. Retry to resume.") },
        { "failed", failed },
        { "unknown", failed },
    };
    for (const auto& [status, message] : cases) {
        server.configure([&, status = status](auto& settings) {
            settings.finalStatus = status;
            settings.pendingPolls = 0;
        });
        EXPECT_EQ(detectionFailure(job), message) << status;
    }
    // Every call resumed the one detection job: a single upload and start.
    EXPECT_EQ(server.requests("upload").size(), 1U);
    EXPECT_EQ(server.requests("start").size(), 1U);
}

TEST_F(SpeakerDetectionTest, SucceededWithoutSegmentsFailsAndWithAnEmptyListSucceeds)
{
    const PendingRecording job = makeJob(true);
    server.configure([](auto& settings) { settings.sendSegments = false; });
    EXPECT_EQ(detectionFailure(job), QStringLiteral("Missing speaker-detection result."));

    server.configure([](auto& settings) {
        settings.sendSegments = true;
        settings.segments = nlohmann::json::array();
        settings.pendingPolls = 0;
    });
    EXPECT_TRUE(TestTasks::run(client->detectSpeakers(job, {})).empty());
}

TEST_F(SpeakerDetectionTest, ServerRequestsAreRetriedButTheUploadIsNot)
{
    const PendingRecording job = makeJob(true);
    int prepares = 0;
    server.setInterceptor(
        [&](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            if (request.kind() == "prepare" && prepares++ == 0) {
                return PipelineServer::Answer { 503, "" };
            }
            return std::nullopt;
        });
    EXPECT_EQ(TestTasks::run(client->detectSpeakers(job, {})).size(), 2U);
    EXPECT_EQ(server.requests("prepare").size(), 2U);
    EXPECT_EQ(client->waits.front(), milliseconds(1000));

    const PendingRecording other = makeJob(true);
    server.configure([](auto& settings) { settings.uploadStatus = 503; });
    EXPECT_EQ(detectionFailure(other), QStringLiteral("Speaker audio upload failed. Retry to resume."));
    EXPECT_EQ(server.requests("upload").size(), 2U);
}

TEST_F(SpeakerDetectionTest, SignedOutSendsNothing)
{
    const PendingRecording job = makeJob(true);
    client->setToken(std::nullopt);
    try {
        TestTasks::run(client->detectSpeakers(job, {}));
        ADD_FAILURE() << "no error";
    } catch (const URLError& error) {
        EXPECT_EQ(error.code(), URLError::Code::userAuthenticationRequired);
    }
    EXPECT_TRUE(server.requests().empty());
}

} // namespace
