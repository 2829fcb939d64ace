// The import of a recording made elsewhere: the file is converted into a
// job's audio on a worker thread, becomes a pending job and is transcribed
// like a stopped recording.

#include "model/AppModel.h"

#include "api/APIClient.h"
#include "core/APIClientError.h"
#include "core/FileSystemError.h"
#include "core/ThreadMailbox.h"
#include "core/Uuids.h"
#include "core/WorkerThread.h"
#include "model/JobFolder.h"
#include "pipeline/AudioImport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>

#include <cerrno>
#include <cmath>
#include <memory>
#include <sys/stat.h>

// What the converting worker reaches the model through. The model holds it
// while the conversion runs, the worker only weakly: a model that is gone, or
// has moved on, stops the conversion and takes no more progress.
struct ImportProgress
{
    ThreadMailbox* mailbox = nullptr;
    // Main thread only.
    QPointer<AppModel> model;
};

namespace {

const QString kImporting = QStringLiteral("Importing recording…");

// A conversion blocks for as long as decoding the whole file takes.
WorkerThread& importThread()
{
    static WorkerThread thread;
    return thread;
}

// Beside the store, not in it: a half-written conversion is never taken for a job.
QString conversionFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/Tallisen/Imports");
    if (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Creating the import folder"), folder, errno);
    }
    return folder;
}

} // namespace

QCoro::Task<void> AppModel::importRecording(
    QString path, std::optional<bool> speakers, std::optional<QString> email)
{
    if (m_isBusy) {
        co_return;
    }
    co_await perform(
        kImporting, [this, &path, &speakers, &email] { return importIntoJob(path, speakers, email); });
}

QCoro::Task<void> AppModel::importIntoJob(
    QString path, std::optional<bool> speakers, std::optional<QString> email)
{
    // A stop must stay possible, and it waits while the model is busy.
    if (m_isRecording) {
        throw APIClientError(QStringLiteral("Stop the recording before importing one."));
    }
    const QString source = QFileInfo(path).absoluteFilePath();
    const RecordingAccount account = co_await recordingAccount();
    PendingRecording job {
        .id = QUuid::createUuid(),
        .userID = account.id,
        .server = m_client->baseURL(),
        .emailTo = email.value_or(m_emailTo),
        .diarizationEnabled = speakers.value_or(m_diarizationEnabled),
        .importedFrom = source,
    };
    const QString converted = conversionFolder() + u'/' + Uuids::text(job.id) + QStringLiteral(".m4a");
    job.recordedAt = co_await convertForImport(source, converted);

    const std::optional<QString> earlier = importedBefore(source);
    try {
        JobFolder::create(job, converted);
    } catch (...) {
        // The folder is this import's own, new; nothing of it may stay.
        QDir(job.folder()).removeRecursively();
        QFile::remove(converted);
        throw;
    }
    QFile::remove(converted);
    setCaptureWarning(earlier);
    reloadPendingRecordings();
    co_await finishPending(job);
}

QCoro::Task<Date> AppModel::convertForImport(QString source, QString converted)
{
    m_importProgress = std::make_shared<ImportProgress>(ImportProgress { ThreadMailbox::current(), this });
    const auto done = qScopeGuard([this] { m_importProgress.reset(); });
    const std::weak_ptr<ImportProgress> held = m_importProgress;
    const AudioImport::Callbacks callbacks {
        .progress =
            [held, posted = -1](double fraction) mutable {
                const int percent = int(std::floor(fraction * 100));
                const std::shared_ptr<ImportProgress> progress = held.lock();
                if (!progress || percent == posted) {
                    return;
                }
                posted = percent;
                progress->mailbox->post([held, percent] {
                    const std::shared_ptr<ImportProgress> current = held.lock();
                    if (current && current->model) {
                        current->model->setStatus(kImporting + QStringLiteral(" %1 %").arg(percent));
                    }
                });
            },
        .cancelled = [held] { return held.expired(); },
    };
    auto converting = importThread().run([source, converted, callbacks] {
        AudioImport::convert(source, converted, callbacks);
        return AudioImport::recordedAt(source);
    });
    co_return co_await std::move(converting);
}

std::optional<QString> AppModel::importedBefore(const QString& source) const
{
    for (const PendingRecording& job : m_pendingRecordings) {
        if (job.importedFrom == source) {
            return QStringLiteral("\"%1\" was imported before and still waits as the saved recording of %2; "
                                  "this import makes a second one.")
                .arg(QFileInfo(source).fileName(), job.recordedAt.toLocalText());
        }
    }
    return std::nullopt;
}
