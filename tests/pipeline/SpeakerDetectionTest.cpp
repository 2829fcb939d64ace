#include "PipelineFixture.h"

#include "api/URLError.h"
#include "core/FileSystemError.h"

#include <unistd.h>

namespace {

using namespace PipelineTesting;
using std::chrono::milliseconds;

const QString kStillProcessing
    = QStringLiteral("Speaker detection is still processing. Retry later to resume the same job.");
const QString kUploadFailed = QStringLiteral("Speaker audio upload failed. Retry to resume.");

class SpeakerDetectionTest : public PipelineTest
{
protected:
    SpeakerDetectionTest()
    {
        server.configure([](auto& settings) {
            settings.segments = nlohmann::json::array({
                { { "start", 0.0 }, { "end", 12.5 }, { "speaker", "SPEAKER_01" } },
                { { "start", 12.5 }, { "end", 30.25 }, { "speaker", "SPEAKER_00" } },
            });
        });
    }

    std::vector<SpeakerSegment> detect(const PendingRecording& job)
    {
        return TestTasks::run(client->detectSpeakers(job, recordProgress()));
    }

    QString detectionFailure(const PendingRecording& job)
    {
        return failureMessage(client->detectSpeakers(job, {}));
    }
};

TEST_F(SpeakerDetectionTest, FirstCallUploadsTheWholeFileStartsAndPollsWithoutAPauseBeforeTheFirstStatus)
{
    server.configure([](auto& settings) { settings.pendingPolls = 2; });
    const PendingRecording job = makeJob(true, 123457);

    EXPECT_EQ(detect(job),
        (std::vector<SpeakerSegment> {
            { 0.0, 12.5, QStringLiteral("SPEAKER_01") }, { 12.5, 30.25, QStringLiteral("SPEAKER_00") } }));

    const auto requests = server.requests();
    EXPECT_EQ(kindsOf(requests), (Strings { "prepare", "upload", "start", "status", "status", "status" }));
    const std::string path = "/v1/diarizations/" + Uuids::text(job.id).toStdString();
    const std::vector<std::pair<std::string, std::string>> routes { { "POST", path + "/prepare" },
        { "PUT", "" }, { "POST", path + "/start" }, { "GET", path } };
    for (size_t i = 0; i < routes.size(); ++i) {
        EXPECT_EQ(requests[i].method, routes[i].first);
        if (i != 1) {
            EXPECT_EQ(requests[i].path, routes[i].second);
            EXPECT_EQ(requests[i].header("Authorization"), "Bearer test-token");
        }
    }
    EXPECT_EQ(requests[1].bodyBytes, 123457);
    for (const char* header : { "Authorization", "Content-Type", "Idempotency-Key", "X-Tallisen-Prompt" }) {
        EXPECT_FALSE(requests[1].header(header).has_value()) << header;
    }
    // Two pending answers, two pauses of 2 s: none before the first status.
    EXPECT_EQ(client->waits, (std::vector<milliseconds>(2, milliseconds(2000))));
    EXPECT_EQ(progress,
        (QStringList { "Preparing speaker detection on " + server.baseURL().authority() + "…",
            "Uploading recording to " + server.baseURL().authority() + " for speaker detection…",
            QStringLiteral("Detecting speakers across the whole meeting…") }));
}

TEST_F(SpeakerDetectionTest, NineHundredPendingAnswersEndTheCallAndALaterCallNeitherUploadsNorStartsAgain)
{
    server.configure([](auto& settings) { settings.pendingPolls = 100000; });
    const PendingRecording job = makeJob(true);

    EXPECT_EQ(detectionFailure(job), kStillProcessing);

    EXPECT_EQ(server.requests("status").size(), 900U);
    EXPECT_EQ(client->waits, std::vector<milliseconds>(900, milliseconds(2000)));
    server.clearLog();
    server.configure([](auto& settings) { settings.pendingPolls = 0; });

    EXPECT_EQ(detect(job).size(), 2U);
    EXPECT_EQ(kindsOf(server.requests()), (Strings { "prepare", "status" }));
}

TEST_F(SpeakerDetectionTest, SignedOutMissingRecordingOrInsecureUploadAddressFailsBeforeAnythingIsUploaded)
{
    const PendingRecording job = makeJob(true);
    client->setToken(std::nullopt);
    EXPECT_EQ(thrown<URLError>(client->detectSpeakers(job, {})).value().code(),
        URLError::Code::userAuthenticationRequired);
    EXPECT_TRUE(server.requests().empty());
    client->setToken(kToken);

    for (const std::string url : { "http://127.0.0.1:1/storage/x", "", "ftp://127.0.0.1/x" }) {
        server.configure([&](auto& settings) { settings.uploadURL = url; });
        EXPECT_EQ(detectionFailure(job),
            QStringLiteral("The server did not provide a secure speaker-detection upload URL."))
            << url;
    }
    EXPECT_EQ(kindsOf(server.requests()), Strings(3, "prepare"));

    server.configure([&](auto& settings) { settings.uploadURL.reset(); });
    ASSERT_TRUE(QFile::remove(job.audio()));
    EXPECT_TRUE(thrown<FileSystemError>(client->detectSpeakers(job, {})));
    EXPECT_TRUE(server.requests("upload").empty());
}

TEST_F(SpeakerDetectionTest, RecordingOfExactlyOneGigabyteIsUploadedButNotAnEmptyOneOrOneByteMore)
{
    const PendingRecording job = makeJob(true);
    // Sparse files: the size is real, the disk blocks are not.
    for (const off_t size : { 1'000'000'001, 0 }) {
        ASSERT_EQ(::truncate(QFile::encodeName(job.audio()).constData(), size), 0);
        EXPECT_EQ(detectionFailure(job),
            QStringLiteral("Speaker detection supports recordings up to 1 GB. Use Transcribe "
                           "without speakers for this recording."));
    }
    EXPECT_TRUE(server.requests("upload").empty());

    ASSERT_EQ(::truncate(QFile::encodeName(job.audio()).constData(), 1'000'000'000), 0);
    EXPECT_EQ(detect(job).size(), 2U);
    const auto uploads = server.requests("upload");
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_EQ(uploads[0].bodyBytes, 1'000'000'000);
}

TEST_F(SpeakerDetectionTest, ServerRequestsAreRetriedButAFailedUploadIsNeitherRetriedNorStarted)
{
    int prepares = 0;
    server.setInterceptor(
        [&](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            if (request.kind() == "prepare" && prepares++ == 0) {
                return PipelineServer::Answer { 503, "" };
            }
            return std::nullopt;
        });
    EXPECT_EQ(detect(makeJob(true)).size(), 2U);
    EXPECT_EQ(server.requests("prepare").size(), 2U);
    EXPECT_EQ(client->waits.front(), milliseconds(1000));

    for (const int status : { 403, 503 }) {
        SCOPED_TRACE(status);
        server.clearLog();
        server.configure([status](auto& settings) { settings.uploadStatus = status; });
        EXPECT_EQ(detectionFailure(makeJob(true)), kUploadFailed);
        EXPECT_EQ(kindsOf(server.requests()), (Strings { "prepare", "upload" }));
    }
}

TEST_F(SpeakerDetectionTest, StatusIsComparedExactlyAndSucceededNeedsItsSegments)
{
    const PendingRecording job = makeJob(true);
    const QString notStarted = QStringLiteral("Speaker detection was not started. Retry to resume.");
    const QString failed = QStringLiteral(
        "Speaker detection failed or its submission could not be confirmed. Audio is saved. Use Transcribe "
        "without speakers to continue; no duplicate speaker job will be submitted.");
    const std::vector<std::tuple<std::string, bool, QString>> cases { { "Succeeded", true, notStarted },
        { "done", true, notStarted }, { "failed", true, failed }, { "unknown", true, failed },
        { "succeeded", false, QStringLiteral("Missing speaker-detection result.") } };
    for (const auto& [status, sendSegments, message] : cases) {
        server.configure([&, status = status, sendSegments = sendSegments](auto& settings) {
            settings.finalStatus = status;
            settings.sendSegments = sendSegments;
            settings.pendingPolls = 0;
        });
        EXPECT_EQ(detectionFailure(job), message) << status;
    }
    server.configure([](auto& settings) {
        settings.sendSegments = true;
        settings.segments = nlohmann::json::array();
    });
    EXPECT_TRUE(detect(job).empty()) << "an empty list of segments is an answer";
    // Every call resumed the one detection job.
    EXPECT_EQ(server.requests("upload").size(), 1U);
    EXPECT_EQ(server.requests("start").size(), 1U);
}

} // namespace
