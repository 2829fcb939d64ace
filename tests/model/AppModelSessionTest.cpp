#include "SessionFixture.h"
#include "SoundServer.h"

#include "api/APIClient.h"
#include "capture/RecorderError.h"
#include "core/Uuids.h"

#include <QSignalSpy>
#include <QStandardPaths>

#include <functional>
#include <mutex>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

std::optional<PipelineServer::Answer> answerWith(int status, const std::string& body)
{
    return PipelineServer::Answer { status, body };
}

// Answers every request of one kind with a failure.
PipelineServer::Interceptor failing(const std::string& kind, int status, const std::string& body)
{
    return [=](const PipelineServer::Request& request) {
        return request.kind() == kind ? answerWith(status, body) : std::nullopt;
    };
}

const std::string kOtherID = "11111111-2222-3333-4444-555555555555";

QString dataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

// A job of another account: the pipeline stops at its first check.
PendingRecording foreignJob(const QUrl& server, bool diarization)
{
    PendingRecording job = savedJob(server, Date::now(), diarization);
    job.chunks = { AudioChunk { .filename = "chunk-1.m4a", .start = 0, .end = 5 } };
    job.speakerSegments = std::vector<SpeakerSegment> {};
    job.alignmentVersion = 1;
    job.save();
    return job;
}

// A file where a folder belongs.
void block(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile blocker(path);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
}

} // namespace

class AppModelSessionTest : public SessionTest
{
};

// The whole road of one meeting on real components (the sign-in before it is
// AppModelTest's): twenty seconds of two tones through the sound server, a
// job on disk before any upload, speaker detection and word alignment, the
// saved transcript.
TEST_F(AppModelSessionTest, RecordAndTranscribeWithSpeakersThroughAJobListedBeforeAnyUpload)
{
    // The list already holds the transcript about to be saved.
    const nlohmann::json listed { { "recordings",
        { recordingJson(kOtherID, "Earlier"), recordingJson(kSavedID.toStdString(), "Old") } } };
    server.setInterceptor([body = listed.dump()](const PipelineServer::Request& request) {
        return request.method == "GET" && request.path == "/v1/recordings" ? answerWith(200, body)
                                                                           : std::nullopt;
    });
    server.configure([](PipelineServer::Settings& settings) {
        settings.segments
            = nlohmann::json::array({ { { "speaker", "SPEAKER_00" }, { "start", 0.0 }, { "end", 10.0 } },
                { { "speaker", "SPEAKER_01" }, { "start", 10.0 }, { "end", 20.5 } } });
        settings.transcribe
            = [](const PipelineServer::Request&) { return std::string("Good morning all. Thanks, hello."); };
        settings.align = [](const std::string&) {
            return nlohmann::json::array({ { { "text", "Good" }, { "start", 1.0 }, { "end", 1.4 } },
                { { "text", " morning" }, { "start", 1.5 }, { "end", 2.0 } },
                { { "text", " all." }, { "start", 2.1 }, { "end", 2.5 } },
                { { "text", " Thanks," }, { "start", 12.0 }, { "end", 12.5 } },
                { { "text", " hello." }, { "start", 12.6 }, { "end", 13.0 } } });
        };
    });
    writeTone(xdg.path() + "/low.wav", 330, 20);
    writeTone(xdg.path() + "/high.wav", 880, 20);

    SessionModel model;
    collectStatuses(model);
    run(model.refresh());
    ASSERT_EQ(model.recordings().size(), 2U);
    model.setDiarizationEnabled(true);
    model.setEmailTo("team@example.com");

    run(model.startRecording({}));
    ASSERT_TRUE(model.isRecording()) << model.errorMessage().value_or("").toStdString();
    EXPECT_FALSE(model.isAutoRecording());
    // A change while recording is for the next recording only.
    model.setEmailTo("other@example.com");
    const QString raw = *model.recorder().rawCapturePath();
    EXPECT_EQ(mode(raw.chopped(4) + ".json"), 0600) << "the capture's side file is private";
    const auto system = SoundServer::play(xdg.path() + "/low.wav", "speaker");
    const auto microphone = SoundServer::play(xdg.path() + "/high.wav", "micfeed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return system->state() == QProcess::NotRunning; }, 40000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return microphone->state() == QProcess::NotRunning; }, 5000));

    bool listedBeforeAnyUpload = false;
    QString folder;
    QObject::connect(&model, &AppModel::pendingRecordingsChanged, &model, [&] {
        if (!folder.isEmpty() || model.pendingRecordings().empty()) {
            return;
        }
        const PendingRecording& job = model.pendingRecordings().front();
        folder = job.folder();
        listedBeforeAnyUpload = requestsOf("transcribe") + requestsOf("upload") + requestsOf("save") == 0;
        EXPECT_EQ(mode(folder), 0700);
        EXPECT_EQ(mode(job.audio()), 0600);
        EXPECT_TRUE(QFile::exists(QDir(folder).filePath("job.json")));
        EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
    });
    run(model.stopAndTranscribe());

    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_TRUE(listedBeforeAnyUpload);
    // Named after its capture, so a crash before the capture is gone cannot make a second job.
    EXPECT_EQ(QFileInfo(folder).fileName(), Uuids::text(Recorder::captureID(raw).value()));
    const auto saved = server.savedTranscripts();
    ASSERT_EQ(saved.size(), 1U);
    const std::string transcript = saved.begin()->second.value("transcript", "");
    EXPECT_NE(transcript.find("Thanks, hello."), std::string::npos) << transcript;
    EXPECT_LT(transcript.find("Good morning all."), transcript.find("Thanks, hello.")) << transcript;
    EXPECT_NE(transcript.find("00:00:01"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("00:00:12"), std::string::npos) << transcript;
    EXPECT_NE(server.requests("save").front().body.find("team@example.com"), std::string::npos);
    // The whole meeting went up for speaker detection: AAC of 20 s is tens of kilobytes.
    const auto uploads = server.requests("upload");
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_GT(uploads.front().bodyBytes, 40000);
    ASSERT_EQ(model.recordings().size(), 2U);
    EXPECT_EQ(Uuids::text(model.recordings()[0].id), kSavedID);
    EXPECT_EQ(model.recordings()[0].title, "Meeting");
    EXPECT_EQ(model.recordings()[1].title, "Earlier");

    const QStringList expected { "2 transcripts", "Starting capture…", "Recording microphone + system audio",
        "Finalizing mixed audio…", "Saving the complete meeting transcript…",
        "Transcript saved; AI is naming and categorizing it…" };
    qsizetype at = 0;
    for (const QString& status : statuses) {
        at += at < expected.size() && status == expected[at] ? 1 : 0;
    }
    EXPECT_EQ(at, expected.size()) << statuses.join(" | ").toStdString();
    EXPECT_EQ(statuses.value(statuses.indexOf("Recording microphone + system audio") + 1),
        "Finalizing mixed audio…");

    EXPECT_FALSE(QFile::exists(raw));
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
    EXPECT_TRUE(filesIn(PendingRecording::root()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Recorder::defaultRecoveryDirectory()));
    EXPECT_TRUE(model.pendingRecordings().empty());
}

TEST_F(AppModelSessionTest, CaptureThatEndsByItselfIsStoppedAndTranscribed)
{
    SoundServer::Private sound;
    SessionModel model;
    {
        const ScopedVariable pulse("PULSE_SERVER", sound.address().toUtf8());
        record(model, 200ms);
    }
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

TEST_F(AppModelSessionTest, StartThatFailsRecordsNothingAndSaysWhy)
{
    const struct
    {
        const char* name;
        std::function<void(SessionModel&)> prepare;
        QString error;
        std::optional<size_t> accountRequests;
        const char* pulseServer = nullptr;
    } cases[] = {
        // First: a successful account request below would let it record offline.
        { "a server out of reach that never named the account", [this](SessionModel&) { server.goOffline(); },
            server.baseURL().toString(), std::nullopt },
        { "an account request that fails",
            [this](SessionModel&) {
                server.setInterceptor(failing("me", 401, R"({"error":"The session has expired."})"));
            },
            "The session has expired.", 1 },
        { "signed out", [](SessionModel& model) { model.signOut(); }, "", 0 },
        { "a recorder that refuses", [](SessionModel&) {},
            RecorderError::message(RecorderError::Kind::soundServerUnavailable), 1,
            "unix:/nonexistent/tallisen-no-sound-server" },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        server.comeBack();
        server.setInterceptor({});
        server.clearLog();
        KeychainStore::saveToken(kToken, server.baseURL());
        std::optional<ScopedVariable> pulse;
        if (test.pulseServer) {
            pulse.emplace("PULSE_SERVER", QByteArray(test.pulseServer));
        }
        SessionModel model;
        test.prepare(model);
        run(model.startRecording({}));
        EXPECT_EQ(model.status(), "Failed");
        EXPECT_TRUE(model.errorMessage().value_or("").contains(test.error))
            << model.errorMessage().value_or("<none>").toStdString();
        EXPECT_FALSE(model.isRecording());
        EXPECT_FALSE(model.isBusy());
        if (test.accountRequests) {
            EXPECT_EQ(requestsOf("me"), *test.accountRequests);
        }
        EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
    }
}

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

// Failures at stop

// A capture that cannot be mixed ends the recording once its stream is gone;
// a job that cannot be saved says where its audio is. Neither lists a job.
TEST_F(AppModelSessionTest, StopThatCannotMixOrSaveTheJobFailsKeepingTheAudio)
{
    SessionModel model;
    QSignalSpy listed(&model, &AppModel::pendingRecordingsChanged);
    const auto stopFails = [&] {
        run(model.stopAndTranscribe());
        EXPECT_EQ(model.status(), "Failed");
        EXPECT_FALSE(model.isRecording());
        EXPECT_FALSE(model.isBusy());
        EXPECT_TRUE(model.pendingRecordings().empty());
        EXPECT_EQ(listed.count(), 0);
        EXPECT_EQ(requestsOf("transcribe"), 0U);
        return model.errorMessage().value_or("");
    };
    record(model, 500ms);
    const QString captures = Recorder::capturesDirectory();
    ASSERT_TRUE(QDir().rename(captures, captures + ".moved"));
    block(captures);
    const QString mixError = stopFails();
    EXPECT_TRUE(mixError.startsWith("Audio mixing failed")) << mixError.toStdString();
    EXPECT_FALSE(model.recorder().isStreamLive());
    EXPECT_EQ(filesIn(captures + ".moved").filter(".mp4").size(), 1);

    QFile::remove(captures);
    record(model, 500ms);
    block(PendingRecording::root());
    const QString error = stopFails();
    const qsizetype at = error.indexOf(" The audio remains at ");
    ASSERT_GT(at, 0) << error.toStdString();
    const QString kept = error.mid(at + 22).chopped(1);
    EXPECT_GT(QFileInfo(kept).size(), 0) << kept.toStdString();
}

TEST_F(AppModelSessionTest, FailedJobsKeepTheirProgressAndRetriesResumeThemSavingOnce)
{
    // Written on the server's thread, read here.
    std::mutex lock;
    bool rejectAudio = true;
    QString pinned;
    server.setInterceptor(
        [&](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
            const std::lock_guard guard(lock);
            if (request.kind() == "transcribe" && rejectAudio) {
                return answerWith(400, R"({"error":"Audio rejected."})");
            }
            // The server saves, but the job folder cannot be removed afterwards.
            if (request.kind() == "save" && pinned.isEmpty()) {
                pinned = QDir(PendingRecording::loadAll().front().folder()).filePath("job.json");
                setImmutable(pinned, true);
            }
            return std::nullopt;
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

    {
        const std::lock_guard guard(lock);
        rejectAudio = false;
    }
    server.clearLog();
    collectStatuses(model);
    run(model.retryPending(job));
    {
        const std::lock_guard guard(lock);
        ASSERT_FALSE(pinned.isEmpty());
        setImmutable(pinned, false);
    }
    EXPECT_EQ(statuses.first(), "Resuming transcription…");
    EXPECT_EQ(requestsOf("transcribe"), job.chunks.size());
    EXPECT_EQ(model.status(), "Failed");
    ASSERT_EQ(model.recordings().size(), 1U);
    ASSERT_EQ(model.pendingRecordings().size(), 1U);
    EXPECT_TRUE(model.pendingRecordings().front().submissionStarted);

    // The retry posts again under the same key; the transcript stays listed once.
    run(model.retryPending(model.pendingRecordings().front()));
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    EXPECT_EQ(model.recordings().size(), 1U);
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
    EXPECT_EQ(requestsOf("save"), 2U);
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_FALSE(QFileInfo::exists(job.folder()));
}

// Jobs and transcripts

TEST_F(AppModelSessionTest, EveryRetryWithoutSpeakersWritesANewBackupAndNoneWithoutAJobFile)
{
    SessionModel model;
    const PendingRecording job = foreignJob(server.baseURL(), true);
    const QString jobFile = QDir(job.folder()).filePath("job.json");
    const QByteArray before = contents(jobFile);

    run(model.retryWithoutSpeakers(job));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "Sign in to the original account and server to retry this recording.");
    QStringList backups = QDir(job.folder()).entryList({ "before-without-speakers-*.json" });
    ASSERT_EQ(backups.size(), 1);
    const QString first = QDir(job.folder()).filePath(backups.front());
    const QString id = backups.front().mid(24, 36);
    EXPECT_TRUE(Uuids::parse(id).has_value()) << backups.front().toStdString();
    EXPECT_EQ(id, id.toUpper());
    EXPECT_EQ(mode(first), 0600);
    EXPECT_EQ(contents(first), before);

    const PendingRecording changed = model.pendingRecordings().front();
    EXPECT_EQ(changed.diarizationEnabled, false);
    EXPECT_TRUE(changed.chunks.empty());
    EXPECT_FALSE(changed.speakerSegments.has_value());
    EXPECT_FALSE(changed.alignmentVersion.has_value());

    run(model.retryWithoutSpeakers(changed));
    EXPECT_EQ(QDir(job.folder()).entryList({ "before-without-speakers-*.json" }).size(), 2);
    EXPECT_EQ(contents(first), before);

    QFile::remove(jobFile);
    server.clearLog();
    run(model.retryWithoutSpeakers(changed));
    EXPECT_TRUE(model.errorMessage().value_or("").startsWith("The job could not be backed up"));
    EXPECT_FALSE(QFile::exists(jobFile));
    EXPECT_TRUE(server.requests().empty());
}

// Deleting goes to a plain loopback server: the pipeline's server takes no DELETE.
TEST_F(AppModelSessionTest, DeleteKeepsTheListWhenRefusedAndRemovesEveryEntryWithTheIdOnceAgreed)
{
    FakeServer listing;
    SettingsStore().setString(SettingsStore::kServer, listing.baseURL().toString());
    KeychainStore::saveToken(kToken, listing.baseURL());
    scriptList(listing, { recordingJson(kOtherID, "Earlier"), recordingJson(kOtherID, "Earlier") });
    const std::string path = "/v1/recordings/" + kOtherID;
    listing.script("DELETE", path,
        { ScriptedAnswer::json(404, { { "error", "No such transcript." } }),
            ScriptedAnswer::json(200, { { "deleted", true } }) });
    SessionModel model;
    run(model.refresh());
    ASSERT_EQ(model.recordings().size(), 2U);

    run(model.deleteRecording(model.recordings().front()));
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "No such transcript.");
    EXPECT_EQ(model.recordings().size(), 2U);

    collectStatuses(model);
    run(model.deleteRecording(model.recordings().front()));
    EXPECT_EQ(statuses.first(), "Deleting transcript…");
    EXPECT_EQ(model.status(), "Transcript deleted from app and server");
    EXPECT_TRUE(model.recordings().empty());
    EXPECT_EQ(listing.requests("DELETE", path).size(), 2U);
}

// Stop waits for an idle model; discard for one neither busy, recording nor previewing.
TEST_F(AppModelSessionTest, StopAndDiscardWaitUntilIdleAndDiscardKeepsTheJobWhenTheTrashIsOutOfReach)
{
    const PendingRecording job = foreignJob(server.baseURL(), false);
    SessionModel model;
    QSignalSpy status(&model, &AppModel::statusChanged);
    run(model.stopAndTranscribe());
    model.setPreviewing(true);
    model.discardPending(job);
    model.setPreviewing(false);
    EXPECT_EQ(status.count(), 0);
    EXPECT_TRUE(server.requests().empty());
    run(model.perform("Working…", [&]() -> QCoro::Task<void> {
        model.discardPending(job);
        co_return;
    }));
    record(model, 300ms);
    const int before = status.count();
    model.discardPending(job);
    EXPECT_EQ(status.count(), before);
    bool stopReturnedWhileBusy = false;
    run(model.perform("Working…", [&]() -> QCoro::Task<void> {
        co_await model.stopAndTranscribe();
        stopReturnedWhileBusy = model.status() == "Working…" && model.isRecording() && model.isBusy();
    }));
    EXPECT_TRUE(stopReturnedWhileBusy);
    EXPECT_TRUE(model.isRecording());
    EXPECT_EQ(requestsOf("transcribe"), 0U);
    EXPECT_TRUE(QFileInfo(job.folder()).isDir());
    run(model.stopAndTranscribe());
    EXPECT_FALSE(model.isRecording());

    const QString previous = QDir::currentPath();
    QDir::setCurrent(xdg.path());
    // A file where the Trash belongs: Qt would fall back to the current folder.
    block(dataHome() + "/Trash");
    const QString statusBefore = model.status();
    model.discardPending(job);
    EXPECT_EQ(model.status(), statusBefore);
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

    // The failure left over is cleared by a successful discard.
    model.discardPending(job);
    EXPECT_EQ(model.status(), "Saved recording moved to Trash; recoverable until Trash is emptied");
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_FALSE(QFileInfo::exists(job.folder()));
    EXPECT_TRUE(QFileInfo(dataHome() + "/Trash/files/" + Uuids::text(job.id) + "/job.json").isFile());
}
