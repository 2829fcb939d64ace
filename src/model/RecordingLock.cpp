#include "model/RecordingLock.h"

#include "core/APIClientError.h"
#include "core/FileSystemError.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace {

QString lockPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        + QStringLiteral("/tallisen-recording.lock");
}

// "<program> (process <pid>)" from the "<pid> <program>" the holder wrote.
QString holder()
{
    QFile file(lockPath());
    const QStringList parts = file.open(QIODevice::ReadOnly)
        ? QString::fromUtf8(file.read(256)).trimmed().split(u' ')
        : QStringList();
    if (parts.size() != 2) {
        return QStringLiteral("Another Tallisen program");
    }
    return QStringLiteral("%1 (process %2)").arg(parts[1], parts[0]);
}

void writeHolder(int fd)
{
    const QByteArray holder = QByteArray::number(QCoreApplication::applicationPid()) + ' '
        + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n';
    if (::ftruncate(fd, 0) == 0) {
        // Only the message depends on it; the lock holds without it.
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, holder.constData(), holder.size(), 0);
    }
}

} // namespace

RecordingLock::RecordingLock(int fd)
    : m_fd(fd)
{ }

RecordingLock::~RecordingLock()
{
    ::close(m_fd);
}

std::unique_ptr<RecordingLock> RecordingLock::acquire()
{
    if (std::unique_ptr<RecordingLock> lock = tryAcquire()) {
        return lock;
    }
    throw APIClientError(
        QStringLiteral("%1 is already recording; stop that recording before starting another.")
            .arg(holder()));
}

std::unique_ptr<RecordingLock> RecordingLock::tryAcquire()
{
    const QString path = lockPath();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Opening the recording lock"), path, errno);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    writeHolder(fd);
    return std::unique_ptr<RecordingLock>(new RecordingLock(fd));
}
