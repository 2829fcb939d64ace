#include "SessionFixture.h"
#include "SoundServer.h"

#include "api/APIClient.h"
#include "capture/RecorderError.h"
#include "core/Uuids.h"
#include "model/ModelTestServer.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>

#include <QCoroTimer>

#include <mutex>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

std::optional<PipelineServer::Answer> answerWith(int status, const std::string& body)
{
    return PipelineServer::Answer { status, body };
}

const std::string kOtherRecording
    = R"({"id":"11111111-2222-3333-4444-555555555555","title":"Earlier",)"
      R"("transcript":"Hi.","languageCodes":["en"],)"
      R"("recordedAt":"2026-02-01T10:00:00Z","createdAt":"2026-02-01T11:00:00Z"})";

QString dataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

} // namespace

class AppModelSessionTest : public SessionTest
{
};

// Start and stop

TEST_F(AppModelSessionTest, StopWhenNotRecordingChangesNothingNotEvenTheStatus)
{
    SessionModel model;
    QSignalSpy status(&model, &AppModel::statusChanged);
    QSignalSpy busy(&model, &AppModel::isBusyChanged);
    run(model.stopAndTranscribe());
    EXPECT_EQ(model.status(), "Ready");
    EXPECT_EQ(status.count(), 0);
    EXPECT_EQ(busy.count(), 0);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(AppModelSessionTest, StopWhileBusyChangesNothingAndTheRecordingGoesOn)
{
    SessionModel model;
    record(model, 300ms);
    bool stopReturnedWhileBusy = false;
    run(model.perform("Working…", [&]() -> QCoro::Task<void> {
        co_await model.stopAndTranscribe();
        stopReturnedWhileBusy = model.status() == "Working…" && model.isRecording() && model.isBusy();
    }));
    EXPECT_TRUE(stopReturnedWhileBusy);
    EXPECT_TRUE(model.isRecording());
    EXPECT_EQ(requestsOf("transcribe"), 0U);
    run(model.stopAndTranscribe());
    EXPECT_FALSE(model.isRecording());
}

TEST_F(AppModelSessionTest, ManualRecordingBecomesAListedJobBeforeAnyUploadThenATranscript)
{
    SessionModel model;
    model.setEmailTo("team@example.com");
    collectStatuses(model);
    record(model, 1500ms);
    EXPECT_EQ(model.status(), "Recording microphone + system audio");
    EXPECT_FALSE(model.isAutoRecording());
    EXPECT_EQ(model.autoTriggerProcessIDs().size(), 0);
    // A change while recording is for the next recording only.
    model.setEmailTo("other@example.com");
    const QString raw = *model.recorder().rawCapturePath();

    struct Snapshot
    {
        size_t uploadsBefore = 0;
        QString folder;
        int folderMode = 0;
        int audioMode = 0;
        bool hasJobFile = false;
        QStringList captures;
    };
    std::optional<Snapshot> firstListing;
    QObject::connect(&model, &AppModel::pendingRecordingsChanged, &model, [&] {
        if (firstListing || model.pendingRecordings().empty()) {
            return;
        }
        const PendingRecording& job = model.pendingRecordings().front();
        firstListing = Snapshot { requestsOf("transcribe") + requestsOf("upload") + requestsOf("save"),
            job.folder(), mode(job.folder()), mode(job.audio()),
            QFile::exists(QDir(job.folder()).filePath("job.json")), filesIn(Recorder::capturesDirectory()) };
    });
    run(model.stopAndTranscribe());

    ASSERT_TRUE(firstListing.has_value());
    EXPECT_EQ(firstListing->uploadsBefore, 0U);
    EXPECT_EQ(firstListing->folderMode, 0700);
    EXPECT_EQ(firstListing->audioMode, 0600);
    EXPECT_TRUE(firstListing->hasJobFile);
    EXPECT_TRUE(firstListing->captures.isEmpty()) << firstListing->captures.join(' ').toStdString();
    EXPECT_FALSE(QFile::exists(raw));
    // The job is named after its capture, so a crash before the capture is
    // gone cannot make it a second job.
    EXPECT_EQ(QFileInfo(firstListing->folder).fileName(), Uuids::text(Recorder::captureID(raw).value()));

    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_FALSE(model.isBusy());
    EXPECT_FALSE(model.isRecording());
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_FALSE(QFileInfo::exists(firstListing->folder));
    ASSERT_EQ(model.recordings().size(), 1U);
    EXPECT_EQ(Uuids::text(model.recordings().front().id), kSavedID);
    const auto saved = server.savedTranscripts();
    ASSERT_EQ(saved.size(), 1U);
    const auto post = server.requests("save").front();
    EXPECT_NE(post.body.find("team@example.com"), std::string::npos) << post.body;

    ASSERT_GE(statuses.size(), 4);
    EXPECT_EQ(
        statuses[statuses.indexOf("Recording microphone + system audio") + 1], "Finalizing mixed audio…");
    EXPECT_LT(statuses.indexOf("Finalizing mixed audio…"),
        statuses.indexOf("Saving the complete meeting transcript…"));
    EXPECT_EQ(statuses.last(), "Transcript saved; AI is naming and categorizing it…");
}

TEST_F(AppModelSessionTest, SavedTranscriptAlreadyListedAppearsOnceAtTheFront)
{
    server.setInterceptor(
        [](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            if (request.method == "GET" && request.path == "/v1/recordings") {
                return answerWith(200,
                    R"({"recordings":[)" + kOtherRecording
                        + R"(,{"id":"0B0D6E3A-6C4B-4C44-9E5A-2D1A3E0F1B2C",)"
                          R"("title":"Old","transcript":"","languageCodes":[],)"
                          R"("recordedAt":"2026-02-01T10:00:00Z","createdAt":"2026-02-01T11:00:00Z"}]})");
            }
            return std::nullopt;
        });
    SessionModel model;
    run(model.refresh());
    ASSERT_EQ(model.recordings().size(), 2U);
    record(model, 800ms);
    run(model.stopAndTranscribe());
    ASSERT_EQ(model.recordings().size(), 2U) << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(Uuids::text(model.recordings()[0].id), kSavedID);
    EXPECT_EQ(model.recordings()[0].title, "Meeting");
    EXPECT_EQ(model.recordings()[1].title, "Earlier");
}

TEST_F(AppModelSessionTest, CaptureThatEndsByItselfIsStoppedAndTranscribed)
{
    SoundServer::Private sound;
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", sound.address().toUtf8());
    SessionModel model;
    record(model, 200ms);
    saved.isEmpty() ? qunsetenv("PULSE_SERVER") : qputenv("PULSE_SERVER", saved);
    writeTone(xdg.path() + "/tone.wav", 440, 1);
    const auto player = SoundServer::play(xdg.path() + "/tone.wav", "speaker", sound.address());
    ASSERT_TRUE(player->waitForFinished(10000));
    QTest::qWait(1200);
    sound.kill();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isRecording() && !model.isBusy(); }, 60000));
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…")
        << model.errorMessage().value_or("").toStdString();
    EXPECT_TRUE(model.captureWarning().value_or("").startsWith("Capture was interrupted:"));
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
    EXPECT_TRUE(model.pendingRecordings().empty());
}

// Failures at start

TEST_F(AppModelSessionTest, AccountRequestFailureStartsNoCapture)
{
    server.setInterceptor(
        [](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            return request.kind() == "me" ? answerWith(401, R"({"error":"The session has expired."})")
                                          : std::nullopt;
        });
    SessionModel model;
    run(model.startRecording({}));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "The session has expired.");
    EXPECT_FALSE(model.isRecording());
    EXPECT_FALSE(model.isBusy());
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
}

TEST_F(AppModelSessionTest, SignedOutStartFailsWithoutAnyRequest)
{
    SessionModel model;
    model.signOut();
    run(model.startRecording({}));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(model.errorMessage().has_value());
    EXPECT_FALSE(model.isRecording());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(AppModelSessionTest, RecorderThatRefusesLeavesTheModelIdle)
{
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/tallisen-no-sound-server");
    SessionModel model;
    run(model.startRecording({}));
    saved.isEmpty() ? qunsetenv("PULSE_SERVER") : qputenv("PULSE_SERVER", saved);
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), RecorderError::message(RecorderError::Kind::soundServerUnavailable));
    EXPECT_FALSE(model.isRecording());
    EXPECT_EQ(requestsOf("me"), 1U);
}

// Recording while the server is out of reach

TEST_F(AppModelSessionTest, OfflineRecordingsAreKeptAndTranscribedOnceTheServerIsBack)
{
    SessionModel model;
    record(model, 500ms);
    run(model.stopAndTranscribe());
    ASSERT_EQ(model.errorMessage(), std::nullopt);
    server.goOffline();

    const std::vector<MicrophoneClient> zoom { { .processID = 4242, .name = "Zoom" } };
    const struct
    {
        std::vector<MicrophoneClient> triggeredBy;
        QString status;
    } starts[] = {
        { {}, "Recording offline; it will be transcribed when the server is back." },
        { zoom, "Auto-recording Zoom offline; it will be transcribed when the server is back." },
    };
    for (const auto& start : starts) {
        run(model.startRecording(start.triggeredBy));
        ASSERT_TRUE(model.isRecording()) << model.errorMessage().value_or("").toStdString();
        EXPECT_EQ(model.status(), start.status);
        QTest::qWait(800);
        run(model.stopAndTranscribe());
        EXPECT_EQ(model.status(), "Failed");
    }
    const std::vector<PendingRecording> jobs = model.pendingRecordings();
    ASSERT_EQ(jobs.size(), 2U);
    for (const PendingRecording& job : jobs) {
        EXPECT_EQ(Uuids::text(job.userID), kUserID);
        EXPECT_EQ(job.server, server.baseURL());
        EXPECT_TRUE(QFile::exists(job.audio()));
    }

    // Nobody presses Retry: the model asks the server again by itself.
    model.setServerProbeInterval(200ms);
    QTest::qWait(1000);
    EXPECT_EQ(model.pendingRecordings().size(), 2U) << "transcribed while the server was still away";
    server.comeBack();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.pendingRecordings().empty() && !model.isBusy(); }, 60000))
        << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    EXPECT_EQ(server.savedTranscripts().size(), 3U);
}

TEST_F(AppModelSessionTest, AServerOutOfReachThatNeverNamedTheAccountStartsNothingAndIsNamed)
{
    server.goOffline();
    SessionModel model;
    run(model.startRecording({}));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(model.errorMessage().value_or("").contains(server.baseURL().toString()))
        << model.errorMessage().value_or("").toStdString();
    EXPECT_FALSE(model.isRecording());
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
}

// Failures at stop

TEST_F(AppModelSessionTest, StopThatCannotMixClearsTheRecordingOnceTheStreamIsGone)
{
    SessionModel model;
    record(model, 500ms);
    // The captures folder turns into a file: the mix has nowhere to go.
    const QString captures = Recorder::capturesDirectory();
    ASSERT_TRUE(QDir().rename(captures, captures + ".moved"));
    QFile blocker(captures);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    run(model.stopAndTranscribe());
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(model.errorMessage().value_or("").startsWith("Audio mixing failed"))
        << model.errorMessage().value_or("").toStdString();
    EXPECT_FALSE(model.recorder().isStreamLive());
    EXPECT_FALSE(model.isRecording());
    EXPECT_FALSE(model.isBusy());
    EXPECT_TRUE(model.pendingRecordings().empty());
    // What was recorded is still there.
    EXPECT_EQ(filesIn(captures + ".moved").filter(".mp4").size(), 1);
}

TEST_F(AppModelSessionTest, JobThatCannotBeSavedKeepsTheCapturedFileAndSaysWhere)
{
    SessionModel model;
    record(model, 500ms);
    QDir().mkpath(QFileInfo(PendingRecording::root()).path());
    QFile blocker(PendingRecording::root());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSignalSpy listed(&model, &AppModel::pendingRecordingsChanged);

    run(model.stopAndTranscribe());
    EXPECT_EQ(model.status(), "Failed");
    const QString error = model.errorMessage().value_or("");
    const qsizetype at = error.indexOf(" The audio remains at ");
    ASSERT_GT(at, 0) << error.toStdString();
    const QString kept = error.mid(at + 22).chopped(1);
    EXPECT_TRUE(QFile::exists(kept)) << kept.toStdString();
    EXPECT_GT(QFileInfo(kept).size(), 0);
    EXPECT_FALSE(model.isRecording());
    EXPECT_EQ(listed.count(), 0);
    EXPECT_EQ(requestsOf("transcribe"), 0U);
}

TEST_F(AppModelSessionTest, PipelineFailureKeepsTheJobWithItsProgressAndRetryResumes)
{
    server.setInterceptor(
        [](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            return request.kind() == "transcribe" ? answerWith(400, R"({"error":"Audio rejected."})")
                                                  : std::nullopt;
        });
    SessionModel model;
    record(model, 800ms);
    run(model.stopAndTranscribe());
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "Audio rejected.");
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    const PendingRecording job = model.pendingRecordings().front();
    EXPECT_FALSE(job.chunks.empty());
    EXPECT_TRUE(QFile::exists(job.audio()));

    server.setInterceptor({});
    server.clearLog();
    collectStatuses(model);
    run(model.retryPending(job));
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    EXPECT_EQ(statuses.first(), "Resuming transcription…");
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_EQ(requestsOf("transcribe"), job.chunks.size());
    EXPECT_FALSE(QFileInfo::exists(job.folder()));
}

TEST_F(AppModelSessionTest, FolderThatCannotBeRemovedAfterTheServerSavedKeepsBothListed)
{
    // Written on the server's thread, read here.
    std::mutex pinnedLock;
    QString pinnedOnServer;
    server.setInterceptor(
        [&](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            const std::lock_guard lock(pinnedLock);
            if (request.kind() == "save" && pinnedOnServer.isEmpty()) {
                const auto jobs = PendingRecording::loadAll();
                pinnedOnServer = QDir(jobs.front().folder()).filePath("job.json");
                SessionTesting::setImmutable(pinnedOnServer, true);
            }
            return std::nullopt;
        });
    SessionModel model;
    record(model, 800ms);
    run(model.stopAndTranscribe());
    const QString pinned = [&] {
        const std::lock_guard lock(pinnedLock);
        return pinnedOnServer;
    }();
    ASSERT_FALSE(pinned.isEmpty());
    setImmutable(pinned, false);
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(model.errorMessage().has_value());
    ASSERT_EQ(model.recordings().size(), 1U);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    const PendingRecording job = model.pendingRecordings().front();
    EXPECT_EQ(job.submissionStarted, true);

    // The retry posts again under the same key; the transcript stays listed once.
    run(model.retryPending(job));
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    EXPECT_EQ(model.recordings().size(), 1U);
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
    EXPECT_EQ(requestsOf("save"), 2U);
    EXPECT_TRUE(model.pendingRecordings().empty());
}

// Jobs and transcripts

namespace {

// A job of another account: the pipeline stops at its first check.
PendingRecording foreignJob(const QUrl& server, bool diarization)
{
    PendingRecording job { .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = server,
        .recordedAt = Date::now(),
        .emailTo = "team@example.com",
        .chunks = { AudioChunk { .filename = "chunk-1.m4a", .start = 0, .end = 5 } },
        .diarizationEnabled = diarization,
        .speakerSegments = std::vector<SpeakerSegment> {},
        .alignmentVersion = 1 };
    QDir().mkpath(job.folder());
    job.save();
    return job;
}

} // namespace

TEST_F(AppModelSessionTest, EveryRetryWithoutSpeakersWritesANewBackup)
{
    SessionModel model;
    const PendingRecording job = foreignJob(server.baseURL(), true);
    QFile jobFile(QDir(job.folder()).filePath("job.json"));
    ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
    const QByteArray before = jobFile.readAll();
    jobFile.close();

    run(model.retryWithoutSpeakers(job));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "Sign in to the original account and server to retry this recording.");
    QStringList backups = QDir(job.folder()).entryList({ "before-without-speakers-*.json" });
    ASSERT_EQ(backups.size(), 1);
    const QString first = QDir(job.folder()).filePath(backups.front());
    EXPECT_TRUE(Uuids::parse(backups.front().mid(24, 36)).has_value()) << backups.front().toStdString();
    EXPECT_EQ(backups.front().mid(24, 36), backups.front().mid(24, 36).toUpper());
    EXPECT_EQ(mode(first), 0600);
    QFile firstFile(first);
    ASSERT_TRUE(firstFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(firstFile.readAll(), before);
    firstFile.close();

    const PendingRecording changed = model.pendingRecordings().front();
    EXPECT_EQ(changed.diarizationEnabled, false);
    EXPECT_TRUE(changed.chunks.empty());
    EXPECT_FALSE(changed.speakerSegments.has_value());
    EXPECT_FALSE(changed.alignmentVersion.has_value());

    run(model.retryWithoutSpeakers(changed));
    backups = QDir(job.folder()).entryList({ "before-without-speakers-*.json" });
    ASSERT_EQ(backups.size(), 2);
    ASSERT_TRUE(firstFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(firstFile.readAll(), before);
}

TEST_F(AppModelSessionTest, RetryWithoutSpeakersWithoutAJobFileChangesNothing)
{
    SessionModel model;
    const PendingRecording job = foreignJob(server.baseURL(), true);
    QFile::remove(QDir(job.folder()).filePath("job.json"));
    run(model.retryWithoutSpeakers(job));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(model.errorMessage().value_or("").startsWith("The job could not be backed up"));
    EXPECT_FALSE(QFile::exists(QDir(job.folder()).filePath("job.json")));
    EXPECT_TRUE(server.requests().empty());
}

// Deleting goes to a plain loopback server: the pipeline's server takes no DELETE.
class AppModelDeleteTest : public SessionTest
{
protected:
    AppModelDeleteTest()
    {
        SettingsStore().setString(SettingsStore::kServer, listing.url().toString());
        KeychainStore::saveToken(kToken, listing.url());
        listing.route("GET", "/v1/recordings", [](const ModelTestServer::Request&) {
            const std::string body = R"({"recordings":[)" + kOtherRecording + "," + kOtherRecording + "]}";
            return ModelTestServer::Answer { 200, QByteArray::fromStdString(body) };
        });
    }

    static inline const QString kPath = "/v1/recordings/11111111-2222-3333-4444-555555555555";
    ModelTestServer listing;
};

TEST_F(AppModelDeleteTest, DeleteRemovesEveryEntryWithTheIdOnceTheServerAgrees)
{
    listing.route("DELETE", kPath, [](const ModelTestServer::Request&) {
        return ModelTestServer::Answer { 200, R"({"deleted":true})" };
    });
    SessionModel model;
    run(model.refresh());
    ASSERT_EQ(model.recordings().size(), 2U);
    QStringList seen;
    QObject::connect(&model, &AppModel::statusChanged, &model, [&] { seen.append(model.status()); });
    run(model.deleteRecording(model.recordings().front()));
    EXPECT_EQ(seen.first(), "Deleting transcript…");
    EXPECT_EQ(model.status(), "Transcript deleted from app and server");
    EXPECT_TRUE(model.recordings().empty());
    EXPECT_EQ(listing.count("DELETE", kPath), 1);
}

TEST_F(AppModelDeleteTest, DeleteThatTheServerRefusesKeepsTheList)
{
    listing.route("DELETE", kPath, [](const ModelTestServer::Request&) {
        return ModelTestServer::Answer { 404, R"({"error":"No such transcript."})" };
    });
    SessionModel model;
    run(model.refresh());
    run(model.deleteRecording(model.recordings().front()));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "No such transcript.");
    EXPECT_EQ(model.recordings().size(), 2U);
}

TEST_F(AppModelSessionTest, DiscardMovesTheJobFolderToTheTrash)
{
    const PendingRecording job = foreignJob(server.baseURL(), false);
    SessionModel model;
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    // A failure left over from before is cleared by a successful discard.
    run(model.refresh());
    ASSERT_TRUE(model.errorMessage().has_value());
    model.discardPending(job);
    EXPECT_EQ(model.status(), "Saved recording moved to Trash; recoverable until Trash is emptied");
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_FALSE(QFileInfo::exists(job.folder()));
    EXPECT_TRUE(QFileInfo(dataHome() + "/Trash/files/" + Uuids::text(job.id) + "/job.json").isFile());
}

TEST_F(AppModelSessionTest, DiscardWhilePreviewingBusyOrRecordingDoesNothing)
{
    const PendingRecording job = foreignJob(server.baseURL(), false);
    SessionModel model;
    QSignalSpy status(&model, &AppModel::statusChanged);
    model.setPreviewing(true);
    model.discardPending(job);
    model.setPreviewing(false);
    run(model.perform("Working…", [&]() -> QCoro::Task<void> {
        model.discardPending(job);
        co_return;
    }));
    EXPECT_TRUE(QFileInfo(job.folder()).isDir());
    record(model, 200ms);
    const int before = status.count();
    model.discardPending(job);
    EXPECT_EQ(status.count(), before);
    EXPECT_TRUE(QFileInfo(job.folder()).isDir());
    EXPECT_EQ(model.pendingRecordings().size(), 1U);
    run(model.stopAndTranscribe());
}

TEST_F(AppModelSessionTest, DiscardThatCannotReachTheTrashKeepsTheJobAndTheStatus)
{
    const PendingRecording job = foreignJob(server.baseURL(), false);
    SessionModel model;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(xdg.path());
    // A file where the Trash belongs: Qt would fall back to the current folder.
    QFile blocker(dataHome() + "/Trash");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    model.discardPending(job);
    EXPECT_EQ(model.status(), "Ready");
    EXPECT_TRUE(
        model.errorMessage().value_or("").startsWith("The saved recording could not be moved to the Trash."));
    EXPECT_TRUE(QFileInfo(QDir(job.folder()).filePath("job.json")).isFile());
    EXPECT_EQ(model.pendingRecordings().size(), 1U);

    QFile::remove(dataHome() + "/Trash");
    PendingRecording gone = job;
    gone.id = QUuid::createUuid();
    model.discardPending(gone);
    EXPECT_EQ(model.errorMessage(), "The saved recording could not be moved to the Trash.");
    QDir::setCurrent(previous);
}
