#include "store/PendingRecording.h"

#include "core/FileSystemError.h"
#include "core/JsonFields.h"
#include "core/Uuids.h"

#include <QDir>
#include <QJsonDocument>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A job file holds at most a few megabytes even for a day-long meeting with
// word timings; anything far larger is not ours and must not stall start-up.
constexpr qint64 kMaximumJobFileBytes = 256LL * 1024 * 1024;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

void writeAll(int fd, const QByteArray& bytes, const QString& path)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n
            = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileSystemError::fromErrno(QStringLiteral("Writing the job file"), path, errno);
        }
        written += n;
    }
}

void syncDirectory(const QString& directory)
{
    FileDescriptor fd(::open(nativePath(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Syncing the job folder"), directory, errno);
    }
}

// Reads "job.json" inside a real directory directly under the root, refusing
// symlinks both for the folder and for the file so nothing outside is read.
std::optional<QByteArray> readJobFile(const QString& folder)
{
    struct stat folderStatus
    {
    };
    if (::lstat(nativePath(folder).constData(), &folderStatus) != 0 || !S_ISDIR(folderStatus.st_mode)) {
        return std::nullopt;
    }
    const QString path = folder + u'/' + PendingRecording::kJobFileName;
    FileDescriptor fd(::open(nativePath(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat fileStatus
    {
    };
    if (fd.get() < 0 || ::fstat(fd.get(), &fileStatus) != 0 || !S_ISREG(fileStatus.st_mode)
        || fileStatus.st_size > kMaximumJobFileBytes) {
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(fileStatus.st_size));
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        filled += n;
    }
    return bytes;
}

bool isBlank(const QString& text)
{
    return text.trimmed().isEmpty();
}

} // namespace

QString PendingRecording::root()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Tallisen/PendingRecordings");
}

QString PendingRecording::folder() const
{
    return root() + u'/' + Uuids::text(id);
}

QString PendingRecording::audio() const
{
    return folder() + u'/' + kAudioFileName;
}

void PendingRecording::save() const
{
    const QString directory = folder();
    const QString target = directory + u'/' + kJobFileName;
    const QString temporary = directory + QStringLiteral("/.job.json.") + Uuids::text(QUuid::createUuid());
    const QByteArray bytes = encode();

    FileDescriptor fd(
        ::open(nativePath(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Saving the job file"), target, errno);
    }
    try {
        writeAll(fd.get(), bytes, target);
        if (::fchmod(fd.get(), 0600) != 0 || ::fsync(fd.get()) != 0) {
            throw FileSystemError::fromErrno(QStringLiteral("Saving the job file"), target, errno);
        }
        if (::close(fd.release()) != 0) {
            throw FileSystemError::fromErrno(QStringLiteral("Saving the job file"), target, errno);
        }
        if (::rename(nativePath(temporary).constData(), nativePath(target).constData()) != 0) {
            throw FileSystemError::fromErrno(QStringLiteral("Saving the job file"), target, errno);
        }
    } catch (...) {
        ::unlink(nativePath(temporary).constData());
        throw;
    }
    syncDirectory(directory);
}

std::vector<PendingRecording> PendingRecording::loadAll()
{
    const QDir directory(root());
    const QStringList entries = directory.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    std::vector<PendingRecording> jobs;
    for (const QString& entry : entries) {
        const auto bytes = readJobFile(directory.filePath(entry));
        if (!bytes) {
            continue;
        }
        try {
            PendingRecording job = decode(*bytes);
            if (Uuids::text(job.id) == entry) {
                jobs.push_back(std::move(job));
            }
        } catch (const DecodingError&) {
            continue;
        }
    }
    std::stable_sort(jobs.begin(), jobs.end(),
        [](const PendingRecording& a, const PendingRecording& b) { return a.recordedAt < b.recordedAt; });
    return jobs;
}

void PendingRecording::remove() const
{
    const QString directory = folder();
    QDir dir(directory);
    if (!dir.exists()) {
        throw FileSystemError(QStringLiteral("The job folder %1 does not exist.").arg(directory), ENOENT);
    }
    if (!dir.removeRecursively()) {
        throw FileSystemError(
            QStringLiteral("The job folder %1 could not be deleted completely.").arg(directory), EIO);
    }
}

bool PendingRecording::canRetryWithoutSpeakers() const
{
    if (diarizationEnabled != true || submissionStarted == true) {
        return false;
    }
    const bool someUntranscribed
        = std::any_of(chunks.begin(), chunks.end(), [](const AudioChunk& chunk) { return !chunk.text; });
    return chunks.empty() || someUntranscribed || alignmentVersion == 1;
}

void PendingRecording::resetEmptyTranscriptions()
{
    for (AudioChunk& chunk : chunks) {
        if (chunk.text && isBlank(*chunk.text)) {
            chunk.text.reset();
            chunk.words.reset();
        }
    }
}

PendingRecording PendingRecording::fromJson(const QJsonObject& object)
{
    PendingRecording job {
        .id = JsonFields::requiredUuid(object, QStringLiteral("id")),
        .userID = JsonFields::requiredUuid(object, QStringLiteral("userID")),
        .server = JsonFields::requiredUrl(object, QStringLiteral("server")),
        .recordedAt = Date { JsonFields::requiredDouble(object, QStringLiteral("recordedAt")) },
        .emailTo = JsonFields::requiredString(object, QStringLiteral("emailTo")),
        .chunks
        = JsonFields::records<AudioChunk>(JsonFields::requiredArray(object, QStringLiteral("chunks"))),
        .diarizationEnabled = JsonFields::optionalBool(object, QStringLiteral("diarizationEnabled")),
        .speakerSegments = std::nullopt,
        .alignmentVersion = JsonFields::optionalInt64(object, QStringLiteral("alignmentVersion")),
        .submissionStarted = JsonFields::optionalBool(object, QStringLiteral("submissionStarted")),
        .importedFrom = JsonFields::optionalString(object, QStringLiteral("importedFrom")),
    };
    if (const auto segments = JsonFields::optionalArray(object, QStringLiteral("speakerSegments"))) {
        job.speakerSegments = JsonFields::records<SpeakerSegment>(*segments);
    }
    return job;
}

QJsonObject PendingRecording::toJson() const
{
    QJsonObject object {
        { QStringLiteral("id"), Uuids::text(id) },
        { QStringLiteral("userID"), Uuids::text(userID) },
        { QStringLiteral("server"), server.toString(QUrl::FullyEncoded) },
        { QStringLiteral("recordedAt"), recordedAt.sinceReferenceDate },
        { QStringLiteral("emailTo"), emailTo },
        { QStringLiteral("chunks"), JsonFields::toArray(chunks) },
    };
    if (diarizationEnabled) {
        object.insert(QStringLiteral("diarizationEnabled"), *diarizationEnabled);
    }
    if (speakerSegments) {
        object.insert(QStringLiteral("speakerSegments"), JsonFields::toArray(*speakerSegments));
    }
    if (alignmentVersion) {
        object.insert(QStringLiteral("alignmentVersion"), *alignmentVersion);
    }
    if (submissionStarted) {
        object.insert(QStringLiteral("submissionStarted"), *submissionStarted);
    }
    if (importedFrom) {
        object.insert(QStringLiteral("importedFrom"), *importedFrom);
    }
    return object;
}

PendingRecording PendingRecording::decode(const QByteArray& bytes)
{
    return fromJson(JsonFields::parseObject(bytes));
}

QByteArray PendingRecording::encode() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}
