#include "model/JobFolder.h"

#include "core/FileSystemError.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace JobFolder {

namespace {

void changeMode(const QString& path, mode_t mode, const QString& action)
{
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0) {
        throw FileSystemError::fromErrno(action, path, errno);
    }
}

} // namespace

void create(const PendingRecording& job, const QString& audio)
{
    const QString folder = job.folder();
    if (!QDir().mkpath(folder)) {
        throw FileSystemError(QStringLiteral("The job folder %1 could not be created.").arg(folder), EIO);
    }
    changeMode(folder, 0700, QStringLiteral("Protecting the job folder"));
    QFile source(audio);
    if (!source.copy(job.audio())) {
        throw FileSystemError(
            QStringLiteral("Copying the audio into %1 failed: %2.").arg(folder, source.errorString()), EIO);
    }
    changeMode(job.audio(), 0600, QStringLiteral("Protecting the job's audio"));
    job.save();
}

} // namespace JobFolder
