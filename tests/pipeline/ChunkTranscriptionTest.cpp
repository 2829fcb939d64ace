#include "PipelineFixture.h"

#include "core/FileSystemError.h"

#include <atomic>

namespace {

using namespace PipelineTesting;
using ChunkTranscriptionTest = PipelineTest;

TEST_F(ChunkTranscriptionTest, FreshJobWithSpeakersDetectsThenAlternatesTranscriptionAndAlignment)
{
    server.configure([](auto& settings) {
        settings.segments = nlohmann::json::array({ { { "start", 0 }, { "end", 200 }, { "speaker", "B" } },
            { { "start", 200 }, { "end", 400 }, { "speaker", "A" } } });
    });
    // 400 s of tone: two chunks.
    const PendingRecording job = toneJob(true, 400);
    std::vector<PendingRecording> snapshots;
    server.setInterceptor([job, &snapshots](const PipelineServer::Request&) {
        snapshots.push_back(savedJob(job));
        return std::optional<PipelineServer::Answer>();
    });

    const auto result = TestTasks::run(client->prepareTranscript(job, recordProgress()));

    EXPECT_EQ(kindsOf(server.requests()),
        (Strings { "me", "prepare", "upload", "start", "status", "status", "transcribe", "align",
            "transcribe", "align" }));
    ASSERT_EQ(result.job.chunks.size(), 2U);
    const AudioChunk& second = result.job.chunks[1];
    EXPECT_EQ(result.job.alignmentVersion, 1);
    EXPECT_EQ(second.audioStart, second.start - 2.5);
    EXPECT_EQ(result.job.chunks[0].audioEnd, second.start + 2.5);
    EXPECT_TRUE(result.transcript.startsWith(
        QStringLiteral("[00:00:10] Speaker 1: Part 1: hello, world.\n\n[00:05:")));
    EXPECT_TRUE(result.transcript.endsWith(QStringLiteral("] Speaker 2: Part 2: hello, world.")));
    EXPECT_EQ(savedJob(job), result.job);
    const QString host = server.baseURL().authority();
    EXPECT_EQ(progress,
        (QStringList { "Preparing speaker detection on " + host + "…",
            "Uploading recording to " + host + " for speaker detection…",
            "Detecting speakers across the whole meeting…", "Splitting audio into upload-sized chunks…",
            "Transcribing part 1 of 2…", "Aligning words in part 1 of 2…", "Transcribing part 2 of 2…",
            "Aligning words in part 2 of 2…" }));

    // Every step was on disk before the next request went out.
    ASSERT_EQ(snapshots.size(), 10U);
    EXPECT_FALSE(snapshots[5].speakerSegments.has_value());
    EXPECT_EQ(snapshots[6].speakerSegments->size(), 2U);
    ASSERT_EQ(snapshots[6].chunks.size(), 2U);
    EXPECT_EQ(snapshots[6].alignmentVersion, 1);
    EXPECT_FALSE(snapshots[6].chunks[0].text.has_value());
    EXPECT_EQ(snapshots[7].chunks[0].text, result.job.chunks[0].text);
    EXPECT_FALSE(snapshots[7].chunks[0].words.has_value());
    EXPECT_EQ(snapshots[8].chunks[0].words, result.job.chunks[0].words);
    EXPECT_EQ(snapshots[9].chunks[1].text, result.job.chunks[1].text);
}

TEST_F(ChunkTranscriptionTest, FreshJobWithoutSpeakersIsCutWithoutContextAndNeverAligned)
{
    const PendingRecording job = toneJob(false, 400);

    const auto result = TestTasks::run(client->prepareTranscript(job, {}));

    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me", "transcribe", "transcribe" }));
    ASSERT_EQ(result.job.chunks.size(), 2U);
    for (const AudioChunk& chunk : result.job.chunks) {
        EXPECT_EQ(chunk.audioStart, chunk.start);
        EXPECT_EQ(chunk.audioEnd, chunk.end);
        EXPECT_FALSE(chunk.words.has_value());
        EXPECT_TRUE(QFile::exists(QDir(job.folder()).filePath(chunk.filename)));
    }
    EXPECT_FALSE(result.job.alignmentVersion.has_value());
    EXPECT_EQ(result.transcript, QStringLiteral("Part 1: hello, world.\n\nPart 2: hello, world."));
    EXPECT_EQ(savedJob(job), result.job);
}

TEST_F(ChunkTranscriptionTest, CallAfterAFailureAtChunkThreeOfFiveStartsAtChunkThree)
{
    const PendingRecording job = splitJob(false, 5);
    int transcriptions = 0;
    server.setInterceptor(
        [&](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            if (request.kind() == "transcribe" && ++transcriptions == 3) {
                return PipelineServer::Answer { 400, R"({"error":"The audio could not be decoded."})" };
            }
            return std::nullopt;
        });
    const auto error = thrown<APIClientError>(client->prepareTranscript(job, {}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("The audio could not be decoded."));
    EXPECT_EQ(error->statusCode(), 400);
    const PendingRecording stopped = savedJob(job);
    EXPECT_TRUE(stopped.chunks[1].text.has_value());
    EXPECT_FALSE(stopped.chunks[2].text.has_value());
    server.clearLog();

    const auto result = TestTasks::run(client->prepareTranscript(stopped, recordProgress()));

    const auto requests = server.requests();
    EXPECT_EQ(kindsOf(requests), (Strings { "me", "transcribe", "transcribe", "transcribe" }));
    for (size_t i = 1; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        // Each carries its chunk file and the previous chunk's text.
        EXPECT_EQ(chunkIndexOf(job, requests[i].body), static_cast<int>(i) + 1);
        EXPECT_EQ(requests[i].header("X-Tallisen-Prompt"), PipelineServer::defaultTranscript(int(i) + 1));
        EXPECT_EQ(requests[i].header("Content-Type"), "audio/x-m4a");
        EXPECT_EQ(requests[i].header("Authorization"), "Bearer test-token");
    }
    EXPECT_EQ(progress.first(), QStringLiteral("Transcribing part 3 of 5…"));
    EXPECT_EQ(result.transcript.count(QStringLiteral("hello, world.")), 5);
    EXPECT_TRUE(result.transcript.endsWith(QStringLiteral("Part 5: hello, world.")));
}

TEST_F(ChunkTranscriptionTest, BlankChunkGetsAnEmptyWordListWithoutAnAlignmentRequest)
{
    PendingRecording job = splitJob(true, 3);
    job.speakerSegments
        = std::vector<SpeakerSegment> { { 0, 100, QStringLiteral("A") }, { 100, 180, QStringLiteral("B") } };
    job.save();
    server.configure([&](auto& settings) {
        settings.transcribe = transcriptsByChunk(job, { "Eins zwei.", " \n ", "Drei vier." });
    });

    const auto result = TestTasks::run(client->prepareTranscript(job, recordProgress()));

    EXPECT_EQ(kindsOf(server.requests()),
        (Strings { "me", "transcribe", "align", "transcribe", "transcribe", "align" }));
    ASSERT_TRUE(result.job.chunks[1].words.has_value());
    EXPECT_TRUE(result.job.chunks[1].words->empty());
    EXPECT_TRUE(progress.contains(QStringLiteral("Aligning words in part 2 of 3…")));
    EXPECT_EQ(result.transcript,
        QStringLiteral("[00:00:10] Speaker 1: Eins zwei.\n\n[00:02:07] Speaker 2: Drei vier."));
    EXPECT_EQ(savedJob(job), result.job);
}

TEST_F(ChunkTranscriptionTest, AlignmentThatChangesTheTextIsAskedForAgainWithoutTranscribingAgain)
{
    PendingRecording job = splitJob(true, 2);
    // Read on the server's thread.
    std::atomic<bool> tamper = true;
    server.configure([&](auto& settings) {
        settings.align = [&tamper](const std::string& text) {
            return PipelineServer::defaultWords(
                tamper && text.find("Part 2") != std::string::npos ? "Part two" : text);
        };
    });

    EXPECT_EQ(failureMessage(client->prepareTranscript(job, {})),
        QStringLiteral("Alignment changed the transcript. Audio and original text are kept."));
    const PendingRecording stopped = savedJob(job);
    EXPECT_TRUE(stopped.chunks[0].words.has_value());
    EXPECT_EQ(stopped.chunks[1].text, QString::fromStdString(PipelineServer::defaultTranscript(2)));
    EXPECT_FALSE(stopped.chunks[1].words.has_value());
    server.clearLog();
    tamper = false;

    const auto result = TestTasks::run(client->prepareTranscript(stopped, {}));

    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me", "align" }));
    EXPECT_TRUE(result.transcript.endsWith(QStringLiteral("Part 2: hello, world.")));
}

TEST_F(ChunkTranscriptionTest, AlignmentFormCarriesTheStoredTextAndTheChunkAndTimesBeyondTheFileAreRefused)
{
    PendingRecording job = splitJob(true, 1);
    const std::string text = " Zwei\r\nZeilen ü, \"quoted\" ";
    server.configure([&](auto& settings) {
        settings.transcribe = transcriptsByChunk(job, { text });
        settings.align = [](const std::string& aligned) {
            return nlohmann::json::array(
                { { { "text", aligned }, { "start", 1.0 }, { "end", 62.5 + 0.26 } } });
        };
    });
    EXPECT_EQ(failureMessage(client->prepareTranscript(job, {})),
        QStringLiteral("Invalid alignment timestamps. Audio and transcript are kept."));
    EXPECT_FALSE(savedJob(job).chunks[0].words.has_value());

    const auto aligns = server.requests("align");
    ASSERT_EQ(aligns.size(), 1U);
    const std::string contentType = aligns[0].header("Content-Type").value_or("");
    const std::string prefix = "multipart/form-data; boundary=Tallisen-";
    EXPECT_TRUE(contentType.starts_with(prefix) && contentType.size() == prefix.size() + 36) << contentType;
    EXPECT_EQ(aligns[0].parts.at("text").content, text);
    const auto& file = aligns[0].parts.at("file");
    EXPECT_EQ(file.filename, "audio.m4a");
    EXPECT_EQ(file.content_type, "audio/x-m4a");
    EXPECT_EQ(chunkIndexOf(job, file.content), 0);
}

TEST_F(ChunkTranscriptionTest, JobWithChunksButNoSpeakersIsNeitherDetectedAgainNorRepeatedWhenComplete)
{
    PendingRecording job = splitJob(true, 2);
    job.speakerSegments.reset();
    job.save();

    const auto first = TestTasks::run(client->prepareTranscript(job, {}));

    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me", "transcribe", "align", "transcribe", "align" }));
    EXPECT_TRUE(first.transcript.startsWith(QStringLiteral("[00:00:10] Unassigned: Part 1")));
    server.clearLog();

    const auto again = TestTasks::run(client->prepareTranscript(first.job, {}));

    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me" }));
    EXPECT_EQ(again.transcript, first.transcript);
}

TEST_F(ChunkTranscriptionTest, OtherAccountServerOrChunkFileFailsBeforeItsRequestAndLeavesTheJobFile)
{
    const QString message
        = QStringLiteral("Sign in to the original account and server to retry this recording.");
    PendingRecording job = makeJob(true);
    job.server = QUrl(QStringLiteral("https://api.tallisen.example"));
    job.save();
    const QByteArray before = readFile(jobFile(job));

    EXPECT_EQ(failureMessage(client->prepareTranscript(job, {})), message);
    EXPECT_TRUE(server.requests().empty());

    job.server = server.baseURL();
    job.userID = QUuid::createUuid();
    job.save();
    const QByteArray otherUser = readFile(jobFile(job));
    EXPECT_EQ(failureMessage(client->prepareTranscript(job, {})), message);
    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me" }));
    EXPECT_EQ(readFile(jobFile(job)), otherUser);
    EXPECT_NE(before, otherUser);

    // A chunk file outside the job folder, or missing, is never sent.
    server.clearLog();
    job = splitJob(false, 2);
    writeFile(PendingRecording::root() + QStringLiteral("/outside.m4a"), "not this job's audio");
    job.chunks[1].filename = QStringLiteral("../outside.m4a");
    job.save();
    EXPECT_EQ(failureMessage(client->prepareTranscript(job, {})),
        QStringLiteral("The job file names an audio chunk outside its folder. The audio has been kept."));
    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me", "transcribe" }));

    server.clearLog();
    job = splitJob(false, 1);
    ASSERT_TRUE(QFile::remove(QDir(job.folder()).filePath(job.chunks[0].filename)));
    EXPECT_TRUE(thrown<FileSystemError>(client->prepareTranscript(job, {})));
    EXPECT_EQ(kindsOf(server.requests()), (Strings { "me" }));
}

} // namespace
