#include "model/JobFolder.h"

#include "core/FileSystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace JobFolder {

namespace {

void changeMode(const QString& path, mode_t mode, const QString& action)
{
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0) {
        throw FileSystemError::fromErrno(action, path, errno);
    }
}

// The job file must never reach the disk before the audio it points to.
void syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!synced) {
        throw FileSystemError::fromErrno(QStringLiteral("Saving the job's audio"), path, error);
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
    if (QFileInfo::exists(QDir(folder).filePath(PendingRecording::kJobFileName))) {
        throw FileSystemError(QStringLiteral("The job folder %1 already holds a job.").arg(folder), EEXIST);
    }
    // An earlier attempt that died before the job file may have left its copy.
    QFile::remove(job.audio());
    QFile source(audio);
    if (!source.copy(job.audio())) {
        throw FileSystemError(
            QStringLiteral("Copying the audio into %1 failed: %2.").arg(folder, source.errorString()), EIO);
    }
    changeMode(job.audio(), 0600, QStringLiteral("Protecting the job's audio"));
    syncToDisk(job.audio());
    job.save();
}

} // namespace JobFolder
