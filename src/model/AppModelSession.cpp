// The recording session and job dispatch: start, stop into a pending job,
// transcription of a job through the client, and the user's actions on jobs
// and transcripts.

#include "model/AppModel.h"

#include "api/APIClient.h"
#include "api/KeychainStore.h"
#include "api/URLError.h"
#include "capture/Recorder.h"
#include "core/APIClientError.h"
#include "core/Uuids.h"
#include "export/TranscriptTurns.h"
#include "model/CaptureAdoption.h"
#include "model/JobFolder.h"
#include "model/RecordingLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString kTranscriptSaved = QStringLiteral("Transcript saved; AI is naming and categorizing it…");

// Where QFile::moveToTrash put an item is only trusted when it is the files
// folder of a freedesktop Trash: the home Trash or a volume's ".Trash-<uid>"
// or ".Trash/<uid>". Qt falls back to the current folder when it cannot set
// up a Trash, and that must not count as discarding.
bool isInTrash(const QString& trashedPath)
{
    const QString files = QFileInfo(trashedPath).absolutePath();
    const QString homeTrash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Trash/files");
    if (QDir::cleanPath(files) == QDir::cleanPath(homeTrash)) {
        return true;
    }
    static const QRegularExpression volumeTrash(QStringLiteral(R"(/\.Trash(-\d+|/\d+)/files$)"));
    return volumeTrash.match(files).hasMatch();
}

void moveToTrash(const QString& folder)
{
    const QString failure = QStringLiteral("The saved recording could not be moved to the Trash.");
    if (!QFileInfo(folder).isDir()) {
        throw APIClientError(failure);
    }
    QString trashed;
    if (!QFile::moveToTrash(folder, &trashed)) {
        throw APIClientError(failure);
    }
    if (isInTrash(trashed)) {
        return;
    }
    if (QDir().rename(trashed, folder)) {
        throw APIClientError(failure);
    }
    throw APIClientError(failure + QStringLiteral(" It was moved to %1 instead.").arg(trashed));
}

} // namespace

void AppModel::installInterruptionCallback()
{
    m_recorder->setOnInterruption([model = QPointer<AppModel>(this)] {
        if (!model || !model->m_isRecording || model->m_isBusy) {
            return;
        }
        // The recorder's callback returns at once; the stop runs as its own task.
        QMetaObject::invokeMethod(
            model,
            [model] {
                if (model) {
                    QCoro::connect(model->stopAndTranscribe(), model.data(), [] {});
                }
            },
            Qt::QueuedConnection);
    });
}

QCoro::Task<void> AppModel::startRecording(std::vector<MicrophoneClient> triggeredBy)
{
    // The operations are member coroutines taking their values as parameters:
    // GCC 12 destroys the captures of a coroutine lambda twice.
    co_await perform(
        QStringLiteral("Starting capture…"), [this, &triggeredBy] { return startCapture(triggeredBy); });
}

QCoro::Task<void> AppModel::startCapture(std::vector<MicrophoneClient> triggeredBy)
{
    // A start during this model's own recording (manual after automatic)
    // keeps the lock it holds.
    const bool acquiring = !m_recordingLock;
    if (acquiring) {
        m_recordingLock = RecordingLock::acquire();
    }
    try {
        co_await startLockedCapture(std::move(triggeredBy));
    } catch (...) {
        if (acquiring) {
            m_recordingLock.reset();
        }
        throw;
    }
}

QCoro::Task<void> AppModel::startLockedCapture(std::vector<MicrophoneClient> triggeredBy)
{
    const RecordingAccount account = co_await recordingAccount();
    m_recordingUserID = account.id;
    co_await m_recorder->start(
        CaptureAdoption::details(account.id, m_client->baseURL(), m_emailTo, m_diarizationEnabled));
    m_recordingStartedAt = Date::now();
    m_recordingEmail = m_emailTo;
    m_recordingDiarization = m_diarizationEnabled;
    setRecording(true);
    m_isAutoRecording = !triggeredBy.empty();
    m_autoTriggerProcessIDs.clear();
    for (const MicrophoneClient& client : triggeredBy) {
        m_autoTriggerProcessIDs.insert(client.processID);
    }
    m_autoInactiveTicks = 0;
    if (account.offline) {
        setStatus(
            (triggeredBy.empty() ? QStringLiteral("Recording offline")
                                 : QStringLiteral("Auto-recording %1 offline").arg(triggeredBy.front().name))
            + QStringLiteral("; it will be transcribed when the server is back."));
        co_return;
    }
    setStatus(triggeredBy.empty() ? QStringLiteral("Recording microphone + system audio")
                                  : QStringLiteral("Auto-recording ") + triggeredBy.front().name);
}

QCoro::Task<AppModel::RecordingAccount> AppModel::recordingAccount()
{
    try {
        const QUuid id = co_await m_client->currentUserID();
        rememberAccount(id);
        co_return RecordingAccount { .id = id, .offline = false };
    } catch (const URLError& error) {
        // Only a server out of reach; one that answers decides for itself.
        if (!error.isRetryable()) {
            throw;
        }
    }
    const std::optional<QUuid> remembered = rememberedAccount();
    if (!remembered) {
        throw APIClientError(QStringLiteral("Could not connect to the server %1, and it has never named "
                                            "your account, so nothing can be recorded for it yet. Try "
                                            "again when it can be reached.")
                                 .arg(m_client->baseURL().toString()));
    }
    co_return RecordingAccount { .id = *remembered, .offline = true };
}

std::optional<QUuid> AppModel::rememberedAccount() const
{
    const QVariantMap accounts = m_settings.map(SettingsStore::kAccountIDs);
    return Uuids::parse(accounts.value(KeychainStore::serverAttribute(m_client->baseURL())).toString());
}

void AppModel::rememberAccount(const std::optional<QUuid>& id)
{
    QVariantMap accounts = m_settings.map(SettingsStore::kAccountIDs);
    const QString server = KeychainStore::serverAttribute(m_client->baseURL());
    if (id) {
        accounts.insert(server, Uuids::text(*id));
    } else {
        accounts.remove(server);
    }
    m_settings.setMap(SettingsStore::kAccountIDs, accounts);
}

QCoro::Task<void> AppModel::stopAndTranscribe()
{
    if (m_isBusy || !m_isRecording) {
        co_return;
    }
    co_await perform(QStringLiteral("Finalizing mixed audio…"), [this]() -> QCoro::Task<void> {
        try {
            co_await stopIntoJob();
        } catch (...) {
            // A recorder that is still capturing can be stopped again.
            if (!m_recorder->isStreamLive()) {
                clearRecordingFlags();
                m_recordingLock.reset();
            }
            throw;
        }
    });
}

QCoro::Task<void> AppModel::stopIntoJob()
{
    const std::optional<QString> raw = m_recorder->rawCapturePath();
    const QString captured = co_await m_recorder->stop();
    setCaptureWarning(m_recorder->recoveryWarning());
    clearRecordingFlags();
    if (!m_recordingUserID || !m_recordingStartedAt) {
        throw APIClientError(
            QStringLiteral("Recording account is unavailable. Audio remains at ") + captured + u'.');
    }
    // Until the job file exists the capture and its sidecar stay, so a crash
    // in between is adopted at the next start; the shared id keeps that
    // adoption from making a second job once the job file does exist.
    const PendingRecording job = newJob(Recorder::captureID(raw.value()).value_or(QUuid::createUuid()));
    try {
        JobFolder::create(job, captured);
    } catch (...) {
        // The captured file is the only copy the user can find; say where it is.
        throw APIClientError(
            describe(std::current_exception()) + QStringLiteral(" The audio remains at ") + captured + u'.');
    }
    try {
        Recorder::discardCapture(*raw);
    } catch (...) {
        // The job is safe; list it beside the error.
        reloadPendingRecordings();
        throw;
    }
    QFile::remove(captured);
    // The job is on disk: another process may record (and adopt) from here on.
    m_recordingLock.reset();
    reloadPendingRecordings();
    co_await finishPending(job);
}

PendingRecording AppModel::newJob(const QUuid& id) const
{
    return PendingRecording {
        .id = id,
        .userID = *m_recordingUserID,
        .server = m_client->baseURL(),
        .recordedAt = *m_recordingStartedAt,
        .emailTo = m_recordingEmail,
        .diarizationEnabled = m_recordingDiarization,
    };
}

InputLevels AppModel::takeInputLevels()
{
    return m_recorder->takeLevels();
}

void AppModel::clearRecordingFlags()
{
    const bool wasRecording = m_isRecording;
    setRecording(false);
    m_isAutoRecording = false;
    m_autoTriggerProcessIDs.clear();
    m_autoInactiveTicks = 0;
    if (wasRecording && m_monitorIsStopping) {
        emit automaticRecordingStopped();
    }
}

QCoro::Task<void> AppModel::finishPending(PendingRecording job)
{
    std::optional<Recording> saved;
    try {
        saved = co_await m_client->finish(job, [this](const QString& line) { setStatus(line); });
    } catch (...) {
        // The pipeline saved its progress into the job file as it went.
        reloadPendingRecordings();
        awaitServer(job.id, isOutOfReach(std::current_exception()));
        throw;
    }
    awaitServer(job.id, false);
    std::vector<Recording> recordings = m_recordings;
    std::erase_if(recordings, [&saved](const Recording& recording) { return recording.id == saved->id; });
    recordings.insert(recordings.begin(), *saved);
    setRecordings(std::move(recordings));
    try {
        job.remove();
    } catch (...) {
        reloadPendingRecordings();
        throw;
    }
    setStatus(kTranscriptSaved);
    reloadPendingRecordings();
}

bool AppModel::isOutOfReach(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const URLError& error) {
        return error.isRetryable();
    } catch (...) {
        return false;
    }
}

void AppModel::awaitServer(const QUuid& job, bool outOfReach)
{
    if (!outOfReach) {
        m_awaitingServer.remove(job);
        return;
    }
    m_awaitingServer.insert(job);
    if (!m_serverProbe.isActive()) {
        m_serverProbe.start();
    }
}

void AppModel::probeServer()
{
    // A job discarded meanwhile waits for nothing.
    m_awaitingServer.removeIf([this](const QUuid& id) {
        return std::none_of(m_pendingRecordings.begin(), m_pendingRecordings.end(),
            [&id](const PendingRecording& job) { return job.id == id; });
    });
    if (m_awaitingServer.isEmpty()) {
        m_serverProbe.stop();
        return;
    }
    if (m_isBusy || m_isRecording || m_isPreviewing || m_probing) {
        return;
    }
    m_probing = true;
    QCoro::connect(retryAwaitingJobs(), this, [this] { m_probing = false; });
}

QCoro::Task<void> AppModel::retryAwaitingJobs()
{
    // Asked quietly: a server still out of reach changes nothing on screen.
    try {
        co_await m_client->currentUserID();
    } catch (...) {
        co_return;
    }
    for (const PendingRecording& job : std::vector(m_pendingRecordings)) {
        if (m_isBusy || m_isRecording || m_isPreviewing) {
            co_return;
        }
        if (m_awaitingServer.contains(job.id)) {
            co_await retryPending(job);
        }
    }
}

QCoro::Task<void> AppModel::retryPending(PendingRecording job)
{
    co_await perform(QStringLiteral("Resuming transcription…"), [this, &job] { return resumeJob(job); });
}

QCoro::Task<void> AppModel::resumeJob(PendingRecording job)
{
    job.resetEmptyTranscriptions();
    job.save();
    co_await finishPending(job);
}

QCoro::Task<void> AppModel::retryWithoutSpeakers(PendingRecording job)
{
    co_await perform(QStringLiteral("Continuing without speaker detection…"),
        [this, &job] { return continueWithoutSpeakers(job); });
}

QCoro::Task<void> AppModel::continueWithoutSpeakers(PendingRecording job)
{
    const QDir folder(job.folder());
    const QString backup = folder.filePath(QStringLiteral("before-without-speakers-")
        + Uuids::text(QUuid::createUuid()) + QStringLiteral(".json"));
    QFile jobFile(folder.filePath(PendingRecording::kJobFileName));
    // QFile::copy never replaces an existing file, so no backup is overwritten.
    if (!jobFile.copy(backup)) {
        throw APIClientError(
            QStringLiteral("The job could not be backed up before continuing without speaker detection: %1.")
                .arg(jobFile.errorString()));
    }
    QFile::setPermissions(backup, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    job.diarizationEnabled = false;
    job.speakerSegments.reset();
    job.alignmentVersion.reset();
    job.chunks.clear();
    job.save();
    co_await finishPending(job);
}

QCoro::Task<void> AppModel::deleteRecording(Recording recording)
{
    co_await perform(
        QStringLiteral("Deleting transcript…"), [this, &recording] { return deleteFromServer(recording); });
}

QCoro::Task<void> AppModel::deleteFromServer(Recording recording)
{
    co_await m_client->deleteRecording(recording.id);
    std::vector<Recording> recordings = m_recordings;
    std::erase_if(recordings, [&recording](const Recording& listed) { return listed.id == recording.id; });
    setRecordings(std::move(recordings));
    setStatus(QStringLiteral("Transcript deleted from app and server"));
}

QCoro::Task<void> AppModel::renameSpeaker(Recording recording, QString from, QString to)
{
    co_await perform(QStringLiteral("Renaming %1…").arg(from), [&]() -> QCoro::Task<void> {
        const QString transcript = TranscriptTurns::renamedSpeaker(recording.transcript, from, to);
        co_await saveEdit(
            recording, std::nullopt, transcript, QStringLiteral("%1 renamed to %2").arg(from, to));
    });
}

QCoro::Task<void> AppModel::editRecording(
    Recording recording, std::optional<QString> title, std::optional<QString> transcript)
{
    co_await perform(QStringLiteral("Saving the transcript…"), [&] {
        return saveEdit(recording, title, transcript,
            transcript ? QStringLiteral("Transcript saved") : QStringLiteral("Title saved"));
    });
}

QCoro::Task<void> AppModel::saveEdit(
    Recording recording, std::optional<QString> title, std::optional<QString> transcript, QString done)
{
    const Recording edited = co_await m_client->updateRecording(recording, title, transcript);
    std::vector<Recording> recordings = m_recordings;
    // A refresh that finished meanwhile may already hold a later edit.
    const auto held = std::ranges::find(recordings, edited.id, &Recording::id);
    if (held != recordings.end() && held->version.value_or(0) <= edited.version.value_or(0)) {
        *held = edited;
    }
    setRecordings(std::move(recordings));
    setStatus(done);
}

void AppModel::discardPending(const PendingRecording& job)
{
    if (m_isBusy || m_isRecording || m_isPreviewing) {
        return;
    }
    try {
        moveToTrash(job.folder());
    } catch (...) {
        setErrorMessage(describe(std::current_exception()));
        return;
    }
    reloadPendingRecordings();
    setErrorMessage(std::nullopt);
    setStatus(QStringLiteral("Saved recording moved to Trash; recoverable until Trash is emptied"));
}
