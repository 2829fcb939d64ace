#include "capture/CaptureSidecar.h"

#include "core/DecodingError.h"
#include "core/FileSystemError.h"
#include "core/JsonFields.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace CaptureSidecar {

namespace {

const QString kCapture = QStringLiteral("capture");
const QString kRecordedAt = QStringLiteral("recordedAt");
const QString kDetails = QStringLiteral("details");

// A side file is a few hundred bytes; anything larger is not one.
constexpr qint64 kMaximumBytes = 64 * 1024;

void writePrivateFile(const QString& path, const QByteArray& bytes)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Creating the capture sidecar"), path, errno);
    }
    const bool written = ::write(fd, bytes.constData(), bytes.size()) == bytes.size() && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(native.constData());
        throw FileSystemError::fromErrno(QStringLiteral("Writing the capture sidecar"), path, error);
    }
}

} // namespace

QString pathFor(const QString& capture)
{
    return QFileInfo(capture).path() + u'/' + QFileInfo(capture).completeBaseName() + QStringLiteral(".json");
}

void write(const QString& capture, const QJsonObject& details)
{
    const QJsonObject sidecar {
        { kCapture, QFileInfo(capture).fileName() },
        { kRecordedAt, Date::now().sinceReferenceDate },
        { kDetails, details },
    };
    writePrivateFile(pathFor(capture), QJsonDocument(sidecar).toJson(QJsonDocument::Compact));
}

std::optional<Contents> read(const QString& sidecar)
{
    QFile file(sidecar);
    if (file.size() > kMaximumBytes || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    try {
        const QJsonObject object = JsonFields::parseObject(file.readAll());
        return Contents {
            .recordedAt = Date { JsonFields::requiredDouble(object, kRecordedAt) },
            .details = JsonFields::requiredObject(object, kDetails),
        };
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace CaptureSidecar
